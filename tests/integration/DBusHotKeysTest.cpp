// The session bus, on a private bus: `murmelin press`/`release`/`toggle` from the real program
// reaching an instance's control object, and the GlobalShortcuts and RemoteDesktop portals
// played by a fake of this test.
#include "BusNames.h"
#include "ControlHotKeySource.h"
#include "DesktopHotKeys.h"
#include "DesktopSession.h"
#include "Fakes.h"
#include "HotKey.h"
#include "KdeDesktop.h"
#include "PortalClipboard.h"
#include "PortalGlobalShortcuts.h"
#include "PortalRemoteDesktop.h"
#include "PortalRequests.h"
#include "PortalShortcut.h"
#include "QtBus.h"
#include "TempDir.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <mutex>
#include <optional>

using namespace murmelin;
using namespace murmelin::test;
using Edges = std::vector<ShortcutEdge>;

namespace {

constexpr auto kPressed = ShortcutEdge::pressed, kReleased = ShortcutEdge::released;
const QString kProgram = QStringLiteral(MURMELIN_BINARY_DIR "/platform/qt/murmelin");
const QString kShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRemoteDesktop = QStringLiteral("org.freedesktop.portal.RemoteDesktop");
const QString kClipboard = QStringLiteral("org.freedesktop.portal.Clipboard");

struct Outcome {
    int status = -1;
    std::string said; // stdout and stderr
    qint64 ms = 0;
};

// Runs the program while this thread goes on serving the bus, or (`serve` false) stays busy.
Outcome runProgram(const QStringList& arguments, bool serve = true) {
    QProcess program;
    program.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer t;
    t.start();
    program.start(kProgram, arguments);
    if (serve)
        loopUntil([&] { return program.state() == QProcess::NotRunning; }, 5000);
    else
        program.waitForFinished(5000);
    Outcome run{-1, program.readAll().toStdString(), t.elapsed()};
    if (program.state() != QProcess::NotRunning)
        program.kill();
    else if (program.exitStatus() == QProcess::NormalExit)
        run.status = program.exitCode();
    return run;
}

// The desktop portal's GlobalShortcuts and RemoteDesktop as the XDG portal documentation
// describes them, on a
// connection and thread of its own, so that blocking calls of the code under test reach it.
// Answers each request with its Response signal before the method's reply, as a portal may.
class FakePortal : public ThreadedBusObject {
public:
    FakePortal()
        : ThreadedBusObject(QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                                          QStringLiteral("fake-portal"))) {}
    unsigned bindResponse = 0; // set before start()
    QString trigger = QStringLiteral("Press LOGO+F9");
    unsigned remoteVersion = 2;
    std::optional<unsigned> startResponse = 0; // none: Start is never answered (a dialog left open)
    bool bindsNothing = false;                 // BindShortcuts answers an empty list, as KWin's
    bool bindsAtCreate = false; // binds what CreateSession names, as Plasma 5.27's portal
    bool kde = false;           // kglobalaccel and KWin's scripting beside it
    QList<int> kdeKeys;         // what kglobalaccel says is in force
    QString kwinActive = QStringLiteral("org.kde.konsole");
    unsigned clipboardVersion = 1; // 0: the portal has no Clipboard interface
    bool clipboardGranted = true;  // Start enables the clipboard that was asked for

    bool start() {
        registerPortalTypes();
        serving();
        const bool kdeUp =
            !kde || (bus_.registerService(QStringLiteral("org.kde.kglobalaccel")) &&
                     bus_.registerService(QStringLiteral("org.kde.KWin")) &&
                     bus_.registerVirtualObject(QStringLiteral("/kglobalaccel"), this) &&
                     bus_.registerVirtualObject(QStringLiteral("/Scripting"), this));
        return kdeUp && bus_.isConnected() && bus_.registerService(kPortal) &&
               bus_.registerVirtualObject(kPortalPath, this, QDBusConnection::SubPath);
    }
    ~FakePortal() override {
        stopServing();
        if (transferRead_ >= 0)
            ::close(transferRead_);
        bus_.unregisterObject(kPortalPath);
        bus_.unregisterService(kPortal);
        bus_.unregisterObject(QStringLiteral("/kglobalaccel"));
        bus_.unregisterObject(QStringLiteral("/Scripting"));
        bus_.unregisterService(QStringLiteral("org.kde.kglobalaccel"));
        bus_.unregisterService(QStringLiteral("org.kde.KWin"));
    }
    struct Seen {
        QString session;
        QString preferred; // the trigger asked for
        int bindCalls = 0;
        QString remoteSession;
        QVariantMap devices; // SelectDevices' options
        int starts = 0, closes = 0;
        QStringList keysyms;  // "+ffe3" pressed, "-ffe3" released
        QStringList order;    // RequestClipboard and Start as they came
        QStringList offered;  // SetSelection's MIME types
        QStringList written;  // "<serial>/<1 or 0>" per SelectionWriteDone
        QStringList accelId;  // doRegister's
        QStringList accelSet; // "<key in hex>/<flags>" per setShortcut
        int scriptsLoaded = 0, scriptsUnloaded = 0;
    };
    Seen seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    void emitEdge(const char* signal, const QString& id = QStringLiteral("dictate")) {
        QDBusMessage edge = QDBusMessage::createSignal(kPortalPath, kShortcuts, signal);
        edge << QVariant::fromValue(QDBusObjectPath(seen().session)) << id << qulonglong(1)
             << QVariantMap();
        bus_.send(edge);
    }

    // The session's Closed signal: the desktop ended it.
    void closeRemoteSession() {
        bus_.send(QDBusMessage::createSignal(seen().remoteSession,
                                             QStringLiteral("org.freedesktop.portal.Session"),
                                             QStringLiteral("Closed"))
                  << QVariantMap());
    }
    void vanish() { bus_.unregisterService(kPortal); }
    // A reader asks for our clipboard in `type`.
    void transfer(const QString& type, unsigned serial) {
        bus_.send(
            QDBusMessage::createSignal(kPortalPath, kClipboard, QStringLiteral("SelectionTransfer"))
            << QVariant::fromValue(QDBusObjectPath(seen().remoteSession)) << type << serial);
    }
    // What the program wrote into the last SelectionWrite's file, to its end.
    std::string readTransfer() {
        std::string text;
        char chunk[256];
        for (ssize_t n; (n = ::read(transferRead_, chunk, sizeof chunk)) > 0;)
            text.append(chunk, size_t(n));
        return text;
    }
    void emitAccel(const char* signal) {
        bus_.send(QDBusMessage::createSignal(QStringLiteral("/component/murmelin"),
                                             QStringLiteral("org.kde.kglobalaccel.Component"),
                                             signal)
                  << QStringLiteral("murmelin") << QStringLiteral("dictate") << qlonglong(0));
    }

    bool serve(const QDBusMessage& call, const QDBusConnection&) override {
        const QList<QVariant> args = call.arguments();
        if (call.member() == QLatin1String("Get") && args.value(0).toString() == kShortcuts)
            return bus_.send(call.createReply(QVariant::fromValue(QDBusVariant(1u))));
        if (call.member() == QLatin1String("Get") && args.value(0).toString() == kRemoteDesktop)
            return bus_.send(call.createReply(QVariant::fromValue(QDBusVariant(remoteVersion))));
        if (call.interface() == kClipboard)
            return clipboard(call);
        if (call.member() == QLatin1String("Close")) {
            std::lock_guard lock(mutex_);
            seen_.closes += call.path() == seen_.remoteSession;
            return bus_.send(call.createReply());
        }
        if (call.member() == QLatin1String("NotifyKeyboardKeysym")) {
            std::lock_guard lock(mutex_);
            if (pathOf(args.value(0)) == seen_.remoteSession)
                seen_.keysyms << (args.value(3).toUInt() ? QLatin1Char('+') : QLatin1Char('-')) +
                                     QString::number(args.value(2).toInt(), 16);
            return bus_.send(call.createReply());
        }
        if (call.interface() == QLatin1String("org.kde.KGlobalAccel")) {
            std::lock_guard lock(mutex_);
            if (call.member() == QLatin1String("doRegister"))
                seen_.accelId = args.value(0).toStringList();
            if (call.member() != QLatin1String("setShortcut"))
                return bus_.send(call.createReply());
            const auto keys = qdbus_cast<QList<int>>(args.value(1));
            seen_.accelSet << QString::number(keys.value(0), 16) + QLatin1Char('/') +
                                  QString::number(args.value(2).toUInt());
            return bus_.send(call.createReply(
                QVariant::fromValue(args.value(2).toUInt() == 2 ? kdeKeys : keys)));
        }
        if (call.interface() == QLatin1String("org.kde.kwin.Scripting"))
            return kwinScripting(call);
        if (call.interface() != kShortcuts && call.interface() != kRemoteDesktop)
            return false;
        const QVariantMap options = qdbus_cast<QVariantMap>(args.last());
        const QString request = kPortalPath + QStringLiteral("/request/") +
                                call.service().mid(1).replace(QLatin1Char('.'), QLatin1Char('_')) +
                                QLatin1Char('/') +
                                options.value(QStringLiteral("handle_token")).toString();
        unsigned response = 0;
        QVariantMap results;
        if (call.member() == QLatin1String("CreateSession")) {
            std::lock_guard lock(mutex_);
            const QString session =
                kPortalPath + QStringLiteral("/session/1/") +
                options.value(QStringLiteral("session_handle_token")).toString();
            (call.interface() == kShortcuts ? seen_.session : seen_.remoteSession) = session;
            results.insert(QStringLiteral("session_handle"), session);
            if (bindsAtCreate && call.interface() == kShortcuts)
                results.insert(QStringLiteral("shortcuts"),
                               QVariant::fromValue(answer(qdbus_cast<PortalShortcuts>(
                                   options.value(QStringLiteral("shortcuts"))))));
        } else if (call.member() == QLatin1String("SelectDevices")) {
            std::lock_guard lock(mutex_);
            seen_.devices = options;
        } else if (call.member() == QLatin1String("Start")) {
            std::lock_guard lock(mutex_);
            ++seen_.starts;
            if (!startResponse) // the dialog stays open
                return bus_.send(call.createReply(QVariant::fromValue(QDBusObjectPath(request))));
            response = *startResponse;
            seen_.order << call.member();
            results.insert(QStringLiteral("devices"), 1u);
            results.insert(QStringLiteral("clipboard_enabled"),
                           clipboardGranted && seen_.order.contains("RequestClipboard"));
            if (remoteVersion >= 2)
                results.insert(QStringLiteral("restore_token"),
                               QStringLiteral("token%1").arg(seen_.starts));
        } else if (call.member() == QLatin1String("BindShortcuts")) {
            std::lock_guard lock(mutex_);
            ++seen_.bindCalls;
            response = bindResponse;
            results.insert(
                QStringLiteral("shortcuts"),
                QVariant::fromValue(bindsNothing || bindsAtCreate
                                        ? PortalShortcuts()
                                        : answer(qdbus_cast<PortalShortcuts>(args.value(1)))));
        } else {
            return false;
        }
        QDBusMessage answer = QDBusMessage::createSignal(
            request, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"));
        answer << response << results;
        bus_.send(answer);
        return bus_.send(call.createReply(QVariant::fromValue(QDBusObjectPath(request))));
    }
    QString introspect(const QString&) const override { return {}; }

private:
    // The shortcuts as bound: the desktop's keys in place of the preferred ones. Locked.
    PortalShortcuts answer(PortalShortcuts shortcuts) {
        for (PortalShortcut& s : shortcuts) {
            seen_.preferred = s.properties.value(QStringLiteral("preferred_trigger")).toString();
            s.properties = {{QStringLiteral("description"), s.properties.value("description")},
                            {QStringLiteral("trigger_description"), trigger}};
        }
        return shortcuts;
    }
    bool clipboard(const QDBusMessage& call) {
        std::lock_guard lock(mutex_);
        const QList<QVariant> args = call.arguments();
        if (clipboardVersion == 0 || pathOf(args.value(0)) != seen_.remoteSession)
            return bus_.send(call.createErrorReply(QDBusError::AccessDenied, "not yours"));
        if (call.member() == QLatin1String("RequestClipboard"))
            seen_.order << call.member();
        if (call.member() == QLatin1String("SetSelection"))
            seen_.offered = qdbus_cast<QVariantMap>(args.value(1))
                                .value(QStringLiteral("mime_types"))
                                .toStringList();
        if (call.member() == QLatin1String("SelectionWriteDone"))
            seen_.written
                << QStringLiteral("%1/%2").arg(args.value(1).toUInt()).arg(args.value(2).toBool());
        if (call.member() != QLatin1String("SelectionWrite"))
            return bus_.send(call.createReply());
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return bus_.send(call.createErrorReply(QDBusError::Failed, "no pipe"));
        if (transferRead_ >= 0)
            ::close(transferRead_);
        transferRead_ = ends[0];
        const bool sent =
            bus_.send(call.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(ends[1]))));
        ::close(ends[1]); // the reply holds its own copy
        return sent;
    }
    int transferRead_ = -1;
    // KWin runs the script; here its one call back, to where the script says.
    bool kwinScripting(const QDBusMessage& call) {
        std::lock_guard lock(mutex_);
        if (call.member() == QLatin1String("unloadScript")) {
            ++seen_.scriptsUnloaded;
            return bus_.send(call.createReply(true));
        }
        if (call.member() == QLatin1String("loadScript")) {
            QFile file(call.arguments().value(0).toString());
            file.open(QIODevice::ReadOnly);
            script_ = QString::fromUtf8(file.readAll());
            return bus_.send(call.createReply(seen_.scriptsLoaded++));
        }
        const auto target =
            QRegularExpression(QString::fromLatin1(R"re(callDBus\("([^"]+)", "([^"]+)")re"))
                .match(script_);
        if (target.hasMatch())
            bus_.send(
                QDBusMessage::createMethodCall(target.captured(1), target.captured(2),
                                               QStringLiteral("io.github.murmelin.ActiveWindow1"),
                                               QStringLiteral("Activated"))
                << kwinActive);
        return bus_.send(call.createReply());
    }
    QString script_;
    static QString pathOf(const QVariant& v) { return v.value<QDBusObjectPath>().path(); }
    mutable std::mutex mutex_;
    Seen seen_;
};

class DBusHotKeysTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        session_ = new DesktopSession({"dbus"});
        session_->apply(); // before Qt's session bus connection is made
        static int argc = 1;
        static char name[] = "DBusHotKeysTest";
        static char* argv[] = {name, nullptr};
        static QCoreApplication app(argc, argv);
    }
    static void TearDownTestSuite() { delete session_; }

    // Binds `source` and waits for the answer.
    std::optional<ShortcutBinding> bind(HotKeySource& source) {
        std::optional<ShortcutBinding> result;
        source.bind(
            HotKey::shortcut(), [this](ShortcutEdge e) { edges.push_back(e); },
            [&](ShortcutBinding b) { result = b; });
        loopUntil([&] { return result.has_value(); }, 2000);
        return result;
    }

    Edges edges;
    SteadyClock clock;
    MainQueue main{clock};
    static inline DesktopSession* session_ = nullptr;
};

TEST_F(DBusHotKeysTest, KeyCommandsReachTheInstanceAsEdgesInOrder) {
    ControlHotKeySource source;
    const auto binding = bind(source);
    ASSERT_TRUE(binding);
    EXPECT_EQ(binding->outcome, HotKeyRegistration::bound);
    EXPECT_EQ(binding->trigger, "Ctrl+Alt+Space");
    ASSERT_TRUE(QDBusConnection::sessionBus().registerService(QLatin1String(kBusName)));

    const struct Row {
        const char* verb;
        Edges edges; // all so far
    } rows[] = {
        {"press", {kPressed}},
        {"press", {kPressed}}, // a shortcut that repeats while held
        {"release", {kPressed, kReleased}},
        {"release", {kPressed, kReleased}},
        {"toggle", {kPressed, kReleased, kPressed}},
        {"toggle", {kPressed, kReleased, kPressed, kReleased}},
    };
    std::string times;
    for (const Row& row : rows) {
        const Outcome run = runProgram({QString::fromLatin1(row.verb)});
        EXPECT_EQ(run.status, 0) << row.verb << ": " << run.said;
        EXPECT_EQ(edges, row.edges) << row.verb;
        times += " " + std::to_string(run.ms);
    }
    std::printf("`murmelin <command>` round trips, start to exit (ms):%s\n", times.c_str());
    QDBusConnection::sessionBus().unregisterService(QLatin1String(kBusName));
}

TEST_F(DBusHotKeysTest, KeyCommandsThatReachNoInstanceSayWhy) {
    ControlHotKeySource source;
    ASSERT_TRUE(bind(source));
    enum class Instance { none, withoutCommands, busy };
    const struct Row {
        QStringList arguments;
        Instance instance;
        int status;
        const char* says;
    } rows[] = {
        {{"press"}, Instance::none, 1, "Murmelin is not running"},
        {{"release"}, Instance::busy, 1, "did not answer within 1000 ms"},
        {{"toggle"}, Instance::withoutCommands, 1, "takes no key commands"}, // the X11 instance
        {{"quit"}, Instance::none, 1, "Murmelin is not running"},
        {{"hold"}, Instance::none, 2, "usage: murmelin [press | release | toggle | quit"},
        {{"press", "now"}, Instance::none, 2, "usage:"},
        {{"--help"}, Instance::none, 0, "quit: ends the running Murmelin"},
        {{"--version"}, Instance::none, 0, "murmelin " MURMELIN_VERSION "\n"},
    };
    QDBusConnection bus = QDBusConnection::sessionBus();
    for (const Row& row : rows) {
        const QString what = row.arguments.join(' ');
        if (row.instance == Instance::withoutCommands)
            bus.unregisterObject(QLatin1String(kControlPath));
        if (row.instance != Instance::none) {
            ASSERT_TRUE(bus.registerService(QLatin1String(kBusName)));
        }
        const Outcome run = runProgram(row.arguments, row.instance != Instance::busy);
        bus.unregisterService(QLatin1String(kBusName));
        EXPECT_EQ(run.status, row.status) << qPrintable(what) << ": " << run.said;
        EXPECT_NE(run.said.find(row.says), std::string::npos)
            << qPrintable(what) << ": " << run.said;
        EXPECT_LT(run.ms, 2000) << qPrintable(what);
    }
}

TEST_F(DBusHotKeysTest, ThePortalsActivationsArePressAndReleaseOnce) {
    for (const bool atCreate : {false, true}) { // bound by BindShortcuts, or with the session
        SCOPED_TRACE(atCreate ? "bound with the session" : "bound by BindShortcuts");
        FakePortal portal;
        portal.bindsAtCreate = atCreate;
        ASSERT_TRUE(portal.start());
        const auto source = makeDesktopHotKeys();
        const auto binding = bind(*source);
        ASSERT_TRUE(binding);
        EXPECT_EQ(binding->outcome, HotKeyRegistration::bound);
        EXPECT_EQ(binding->trigger, "Press LOGO+F9") << "the desktop's keys, not ours";
        EXPECT_EQ(portal.seen().preferred, "CTRL+ALT+space");
        EXPECT_EQ(portal.seen().bindCalls, atCreate ? 0 : 1)
            << "BindShortcuts opens System Settings on Plasma 5.27";
    }
    FakePortal portal;
    ASSERT_TRUE(portal.start());
    const auto source = makeDesktopHotKeys();
    ASSERT_TRUE(bind(*source));
    ASSERT_TRUE(QDBusConnection::sessionBus().registerService(QLatin1String(kBusName)));
    const Outcome command = runProgram({"toggle"}); // the key commands serve beside the portal
    QDBusConnection::sessionBus().unregisterService(QLatin1String(kBusName));
    EXPECT_EQ(command.status, 0) << command.said;
    EXPECT_EQ(edges, Edges{kPressed});
    edges.clear();

    portal.emitEdge("Activated", QStringLiteral("another")); // not ours
    portal.emitEdge("Deactivated", QStringLiteral("another"));
    portal.emitEdge("Activated");
    portal.emitEdge("Activated"); // some desktops repeat it while the key is held
    portal.emitEdge("Deactivated");
    portal.emitEdge("Deactivated");
    loopUntil([&] { return edges.size() >= 2; }, 2000);
    loopUntil([] { return false; }, 100); // time for a wrong extra edge to show
    EXPECT_EQ(edges, (Edges{kPressed, kReleased}));
}

TEST_F(DBusHotKeysTest, APortalDialogCancelledBindsNothingAndIsNotAskedAgain) {
    FakePortal portal;
    portal.bindResponse = 1;
    ASSERT_TRUE(portal.start());
    PortalGlobalShortcuts source;
    ::testing::internal::CaptureStderr();
    const auto first = bind(source);
    const auto again = bind(source); // the retry
    const std::string said = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(first && again);
    EXPECT_EQ(first->outcome, HotKeyRegistration::unavailable);
    EXPECT_EQ(again->outcome, HotKeyRegistration::unavailable);
    EXPECT_EQ(portal.seen().bindCalls, 1);
    EXPECT_NE(said.find("cancelled"), std::string::npos) << said;
    EXPECT_EQ(said.find("cancelled"), said.rfind("cancelled")) << "said more than once: " << said;
}

TEST_F(DBusHotKeysTest, WithoutAPortalTheKeyCommandsServe) {
    ::testing::internal::CaptureStderr();
    const auto source = makeDesktopHotKeys();
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(dynamic_cast<ControlHotKeySource*>(source.get()));
    EXPECT_NE(said.find("`murmelin press`"), std::string::npos) << said;
}

// The token file as it is after a run: nullopt when absent.
std::optional<std::string> fileText(const std::filesystem::path& path) {
    QFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll().toStdString();
}

TEST_F(DBusHotKeysTest, RemoteDesktopConsentIsAskedOnceAndKeptAsARestoreToken) {
    const std::optional<std::string> none;
    const struct Row {
        const char* what;
        unsigned version;
        std::optional<unsigned> startResponse;
        std::optional<std::string> tokenBefore; // the file from an earlier run
        bool ask;                               // the menu's Grant item
        bool trusted;
        QVariant persist, restoreSent; // in SelectDevices; invalid: not sent
        std::optional<std::string> tokenAfter;
        const char* says; // once, or "" for nothing
    } rows[] = {
        {"granted, first time", 2, 0u, none, true, true, 2u, {}, "token1", ""},
        {"kept consent starts unasked", 2, 0u, "token-old", false, true, 2u, "token-old", "token1",
         ""},
        {"version 1: no persistence", 1, 0u, none, true, true, {}, {}, "", ""},
        {"version 1, consent given before", 1, 0u, "", false, true, {}, {}, "", ""},
        {"refused", 2, 1u, none, true, false, 2u, {}, none, "refused remote-desktop access"},
        {"revoked token refused", 2, 2u, "token-old", false, false, 2u, "token-old", none,
         "refused remote-desktop access"},
        {"dialog never answered",
         2,
         std::nullopt,
         none,
         true,
         false,
         2u,
         {},
         none,
         "did not answer"},
        {"no consent kept: nothing asked", 2, 0u, none, false, false, {}, {}, none, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FakePortal portal;
        portal.remoteVersion = row.version;
        portal.startResponse = row.startResponse;
        ASSERT_TRUE(portal.start());
        TempDir dir("portal");
        const auto token = dir / "remote-desktop-token";
        if (row.tokenBefore) {
            QFile file(QString::fromStdString(token.string()));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(row.tokenBefore->c_str());
        }
        ::testing::internal::CaptureStderr();
        std::optional<bool> changed, answered;
        QElapsedTimer t;
        t.start();
        {
            ASSERT_EQ(portalRemoteDesktopVersion(), row.version);
            PortalRemoteDesktop remote(row.version, token.string(), 500);
            PortalTrust trust(remote);
            trust.setOnChange([&](bool now) { changed = now; });
            for (int i = 0; i < (row.ask ? 2 : 0); ++i) { // the menu's Grant item, twice
                answered.reset();
                trust.requestTrust([&](bool now) { answered = now; });
                loopUntil([&] { return answered.has_value(); }, 2000);
            }
            loopUntil([&] { return trust.isTrusted() || (!row.ask && !row.trusted); }, 1000);
            loopUntil([] { return false; }, 50); // time for a wrong extra call to show
            EXPECT_EQ(trust.isTrusted(), row.trusted);
            EXPECT_EQ(answered, row.ask ? std::optional(row.trusted) : std::nullopt);
            EXPECT_EQ(changed, !row.ask && row.trusted ? std::optional(true) : std::nullopt);
        }
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_LT(t.elapsed(), 3000) << "a portal that does not answer holds nothing up";
        const auto seen = portal.seen();
        EXPECT_EQ(seen.devices.value("types"),
                  row.ask || row.tokenBefore ? QVariant(1u) : QVariant());
        EXPECT_EQ(seen.devices.value("persist_mode"), row.persist);
        EXPECT_EQ(seen.devices.value("restore_token").toString().toStdString(),
                  row.restoreSent.toString().toStdString());
        EXPECT_EQ(seen.starts, row.ask || row.tokenBefore ? (row.trusted ? 1 : 1 + row.ask) : 0)
            << "refused or unanswered: asked again only from the menu";
        EXPECT_EQ(fileText(token), row.tokenAfter);
        if (*row.says) {
            EXPECT_NE(said.find(row.says), std::string::npos) << said;
            EXPECT_EQ(said.find(row.says), said.rfind(row.says)) << "said more than once: " << said;
        } else {
            EXPECT_EQ(said, "");
        }
    }
}

TEST_F(DBusHotKeysTest, RemoteDesktopPastesTheChordOfTheFocusedWindowInOrder) {
    FakePortal portal;
    ASSERT_TRUE(portal.start());
    TempDir dir("portal");
    PortalRemoteDesktop remote(2, (dir / "token").string(), 2000);
    const auto chords = std::make_shared<PasteChordTable>();
    std::string focused;
    PortalKeyInjector keys(remote, chords, [&] { return WindowClass{focused, focused}; });
    EXPECT_FALSE(keys.postPaste(PasteChord::controlV)) << "no session yet";
    PortalTrust trust(remote);
    std::optional<bool> answered;
    trust.requestTrust([&](bool now) { answered = now; });
    ASSERT_TRUE(loopUntil([&] { return answered.has_value(); }, 2000) && *answered);
    const struct Row {
        const char* window;
        PasteChord chord;
        QStringList keysyms;
    } rows[] = {
        {"", PasteChord::controlV, {"+ffe3", "+76", "-76", "-ffe3"}},
        {"org.kde.kate", PasteChord::controlV, {"+ffe3", "+76", "-76", "-ffe3"}},
        {"konsole", PasteChord::controlShiftV, {"+ffe3", "+ffe1", "+76", "-76", "-ffe1", "-ffe3"}},
        {"xterm", PasteChord::shiftInsert, {"+ffe1", "+ff63", "-ff63", "-ffe1"}},
    };
    QStringList all;
    for (const Row& row : rows) {
        focused = row.window;
        EXPECT_EQ(keys.pasteChord(), row.chord) << row.window;
        EXPECT_TRUE(keys.postPaste(keys.pasteChord()));
        all += row.keysyms;
        loopUntil([&] { return portal.seen().keysyms.size() >= all.size(); }, 2000);
        EXPECT_EQ(portal.seen().keysyms, all) << row.window;
    }
}

TEST_F(DBusHotKeysTest, ARemoteDesktopSessionLostWithdrawsTrustOnce) {
    const struct Row {
        const char* what;
        std::function<void(FakePortal&)> lose;
        const char* says;
    } rows[] = {
        {"closed by the desktop", [](FakePortal& p) { p.closeRemoteSession(); },
         "closed the remote-desktop session"},
        {"portal gone", [](FakePortal& p) { p.vanish(); }, "portal went away"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FakePortal portal;
        ASSERT_TRUE(portal.start());
        TempDir dir("portal");
        PortalRemoteDesktop remote(2, (dir / "token").string(), 2000);
        PortalTrust trust(remote);
        PortalKeyInjector keys(remote, std::make_shared<PasteChordTable>(), nullptr);
        std::vector<bool> changes;
        trust.setOnChange([&](bool now) { changes.push_back(now); });
        trust.requestTrust(nullptr);
        ASSERT_TRUE(loopUntil([&] { return trust.isTrusted(); }, 2000));
        ::testing::internal::CaptureStderr();
        row.lose(portal);
        loopUntil([&] { return !changes.empty(); }, 2000);
        loopUntil([] { return false; }, 50);
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(changes, std::vector<bool>{false});
        EXPECT_FALSE(trust.isTrusted());
        EXPECT_FALSE(keys.postPaste(PasteChord::controlV)) << "nothing sent into a lost session";
        EXPECT_NE(said.find(row.says), std::string::npos) << said;
    }
}

TEST_F(DBusHotKeysTest, ThePortalsClipboardServesTheDictationWhileItsSessionRuns) {
    const struct Row {
        const char* what;
        bool granted;       // Start enabled the clipboard
        const char* reader; // the MIME type a reader asks for
        bool lose;          // the desktop closes the session before the dictation
        std::string served; // what the reader gets through the portal
        bool toolkit;       // the toolkit's clipboard got the text instead
    } rows[] = {
        {"granted", true, "text/plain;charset=utf-8", false, "caf\u00e9 \u2022 ok", false},
        {"a reader of plain text", true, "text/plain", false, "caf\u00e9 \u2022 ok", false},
        {"a type we do not have", true, "image/png", false, "", false},
        {"not granted", false, "text/plain;charset=utf-8", false, "", true},
        {"session closed", true, "text/plain;charset=utf-8", true, "", true},
    };
    const std::string text = "caf\u00e9 \u2022 ok";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FakePortal portal;
        portal.clipboardGranted = row.granted;
        ASSERT_TRUE(portal.start());
        TempDir dir("portal");
        PortalRemoteDesktop remote(2, (dir / "token").string(), 2000, true);
        murmelin::testing::FakeClipboard toolkit;
        PortalClipboard clipboard(remote, toolkit);
        PortalTrust trust(remote);
        trust.requestTrust(nullptr);
        ASSERT_TRUE(loopUntil([&] { return trust.isTrusted(); }, 2000));
        EXPECT_EQ(portal.seen().order, QStringList({"RequestClipboard", "Start"}));
        if (row.lose) {
            portal.closeRemoteSession();
            ASSERT_TRUE(loopUntil([&] { return !trust.isTrusted(); }, 2000));
        }
        clipboard.setString(text);
        EXPECT_EQ(toolkit.writes,
                  row.toolkit ? std::vector<std::string>{text} : std::vector<std::string>{});
        if (row.toolkit) {
            loopUntil([] { return false; }, 50);
            EXPECT_TRUE(portal.seen().offered.isEmpty()) << "nothing offered without the clipboard";
            continue;
        }
        ASSERT_TRUE(loopUntil([&] { return !portal.seen().offered.isEmpty(); }, 2000));
        EXPECT_EQ(portal.seen().offered.value(0), "text/plain;charset=utf-8");
        portal.transfer(QString::fromLatin1(row.reader), 7);
        ASSERT_TRUE(loopUntil([&] { return !portal.seen().written.isEmpty(); }, 2000));
        const bool served = !row.served.empty();
        EXPECT_EQ(portal.seen().written, QStringList{served ? "7/1" : "7/0"});
        if (served) {
            EXPECT_EQ(portal.readTransfer(), row.served);
        }
    }
}

TEST_F(DBusHotKeysTest, WhereThePortalBindsNothingKGlobalAccelServes) {
    const int ctrlAltSpace = 0x0C000020, metaF9 = 0x10000000 | 0x01000038;
    const struct Row {
        const char* what;
        QList<int> inForce;
        HotKeyRegistration outcome;
        const char* trigger;
    } rows[] = {
        {"our default", {ctrlAltSpace}, HotKeyRegistration::bound, "Ctrl+Alt+Space"},
        {"the user's own keys", {metaF9}, HotKeyRegistration::bound, "Meta+F9"},
        {"held by another component", {}, HotKeyRegistration::taken, "Ctrl+Alt+Space"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FakePortal portal;
        portal.bindsNothing = true;
        portal.kde = true;
        portal.kdeKeys = row.inForce;
        ASSERT_TRUE(portal.start());
        edges.clear();
        const auto source = makeDesktopHotKeys();
        const auto binding = bind(*source);
        ASSERT_TRUE(binding);
        EXPECT_EQ(binding->outcome, row.outcome);
        EXPECT_EQ(binding->trigger, row.trigger);
        EXPECT_EQ(portal.seen().accelId,
                  (QStringList{"murmelin", "dictate", "Murmelin", "Hold to dictate"}));
        EXPECT_EQ(portal.seen().accelSet, (QStringList{"c000020/1", "c000020/2"}))
            << "the default, then the keys in force";
        for (const char* signal :
             {"globalShortcutPressed", "globalShortcutPressed", "globalShortcutPressed",
              "globalShortcutReleased", "globalShortcutReleased"}) // Pressed repeats while held
            portal.emitAccel(signal);
        loopUntil([&] { return edges.size() >= 2; }, 2000);
        loopUntil([] { return false; }, 100);
        EXPECT_EQ(edges, (Edges{kPressed, kReleased}));
    }
}

TEST_F(DBusHotKeysTest, KWinsScriptTellsTheFocusedWindowAndNobodyElseDoes) {
    FakePortal portal;
    portal.kde = true;
    ASSERT_TRUE(portal.start());
    {
        KWinActiveWindow active;
        ASSERT_TRUE(loopUntil([&] { return active.resourceClass() == "org.kde.konsole"; }, 2000));
        QDBusConnection other =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("other"));
        other.call(QDBusMessage::createMethodCall(
                       QDBusConnection::sessionBus().baseService(),
                       QStringLiteral("/io/github/murmelin/Murmelin/ActiveWindow"),
                       QStringLiteral("io.github.murmelin.ActiveWindow1"),
                       QStringLiteral("Activated"))
                       << QStringLiteral("xterm"),
                   QDBus::BlockWithGui, 2000);
        QDBusConnection::disconnectFromBus(QStringLiteral("other"));
        EXPECT_EQ(active.resourceClass(), "org.kde.konsole") << "only KWin is believed";
    }
    loopUntil([&] { return portal.seen().scriptsUnloaded >= 2; }, 2000);
    EXPECT_EQ(portal.seen().scriptsLoaded, 1);
    EXPECT_EQ(portal.seen().scriptsUnloaded, 2) << "one left by a crash, ours at the end";
}

} // namespace
