// The hot key over the session bus, on a private bus: `murmelin press`/`release`/`toggle`
// from the real program reaching an instance's control object, and the GlobalShortcuts
// portal played by a fake of this test.
#include "BusNames.h"
#include "ControlHotKeySource.h"
#include "DesktopHotKeys.h"
#include "DesktopSession.h"
#include "HotKey.h"
#include "PortalGlobalShortcuts.h"
#include "PortalShortcut.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <mutex>
#include <optional>

using namespace murmelin;
using namespace murmelin::test;
using Edges = std::vector<ShortcutEdge>;

namespace {

constexpr auto kPressed = ShortcutEdge::pressed, kReleased = ShortcutEdge::released;
const QString kProgram = QStringLiteral(MURMELIN_BINARY_DIR "/platform/qt/murmelin");
const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");

bool loopUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

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

// The desktop portal's GlobalShortcuts as the XDG portal documentation describes it, on a
// connection and thread of its own, so that blocking calls of the code under test reach it.
// Answers each request with its Response signal before the method's reply, as a portal may.
class FakePortal : public QDBusVirtualObject {
public:
    unsigned bindResponse = 0; // set before start()
    QString trigger = QStringLiteral("Press LOGO+F9");

    bool start() {
        registerPortalTypes();
        moveToThread(&thread_);
        thread_.start();
        return bus_.isConnected() && bus_.registerService(kPortal) &&
               bus_.registerVirtualObject(kPortalPath, this);
    }
    ~FakePortal() override {
        bus_.unregisterObject(kPortalPath);
        bus_.unregisterService(kPortal);
        QThread* here = QThread::currentThread();
        QMetaObject::invokeMethod(
            this, [this, here] { moveToThread(here); }, Qt::BlockingQueuedConnection);
        thread_.quit();
        thread_.wait();
        QDBusConnection::disconnectFromBus(bus_.name());
    }
    struct Seen {
        QString session;
        QString preferred; // the trigger asked for
        int bindCalls = 0;
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

    bool handleMessage(const QDBusMessage& call, const QDBusConnection&) override {
        const QList<QVariant> args = call.arguments();
        if (call.member() == QLatin1String("Get") && args.value(0).toString() == kShortcuts)
            return bus_.send(call.createReply(QVariant::fromValue(QDBusVariant(1u))));
        if (call.interface() != kShortcuts)
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
            seen_.session = kPortalPath + QStringLiteral("/session/1/") +
                            options.value(QStringLiteral("session_handle_token")).toString();
            results.insert(QStringLiteral("session_handle"), seen_.session);
        } else if (call.member() == QLatin1String("BindShortcuts")) {
            std::lock_guard lock(mutex_);
            ++seen_.bindCalls;
            response = bindResponse;
            PortalShortcuts shortcuts = qdbus_cast<PortalShortcuts>(args.value(1));
            for (PortalShortcut& s : shortcuts) {
                seen_.preferred =
                    s.properties.value(QStringLiteral("preferred_trigger")).toString();
                s.properties = {{QStringLiteral("description"), s.properties.value("description")},
                                {QStringLiteral("trigger_description"), trigger}};
            }
            results.insert(QStringLiteral("shortcuts"), QVariant::fromValue(shortcuts));
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
    QThread thread_;
    QDBusConnection bus_ =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake-portal"));
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
    FakePortal portal;
    ASSERT_TRUE(portal.start());
    const auto source = makeDesktopHotKeys(main);
    const auto binding = bind(*source);
    ASSERT_TRUE(binding);
    EXPECT_EQ(binding->outcome, HotKeyRegistration::bound);
    EXPECT_EQ(binding->trigger, "Press LOGO+F9") << "the desktop's keys, not ours";
    EXPECT_EQ(portal.seen().preferred, "CTRL+ALT+space");
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
    testing::internal::CaptureStderr();
    const auto first = bind(source);
    const auto again = bind(source); // the retry
    const std::string said = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(first && again);
    EXPECT_EQ(first->outcome, HotKeyRegistration::unavailable);
    EXPECT_EQ(again->outcome, HotKeyRegistration::unavailable);
    EXPECT_EQ(portal.seen().bindCalls, 1);
    EXPECT_NE(said.find("cancelled"), std::string::npos) << said;
    EXPECT_EQ(said.find("cancelled"), said.rfind("cancelled")) << "said more than once: " << said;
}

TEST_F(DBusHotKeysTest, WithoutAPortalTheKeyCommandsServe) {
    testing::internal::CaptureStderr();
    const auto source = makeDesktopHotKeys(main);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(dynamic_cast<ControlHotKeySource*>(source.get()));
    EXPECT_NE(said.find("`murmelin press`"), std::string::npos) << said;
}

} // namespace
