#include "PortalRemoteDesktop.h"

#include "JsonDefaultsStore.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdio>
#include <utility>

namespace murmelin {
namespace {

const QString kRemoteDesktop = QStringLiteral("org.freedesktop.portal.RemoteDesktop");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");
const QString kClipboard = QStringLiteral("org.freedesktop.portal.Clipboard");
const QString kClosed = QStringLiteral("Closed");

constexpr unsigned kKeyboard = 1;     // device type bit
constexpr unsigned kUntilRevoked = 2; // persist_mode, version 2 on
constexpr int kChordGapMs = 15;
constexpr int kControlL = 0xffe3, kShiftL = 0xffe1, kInsert = 0xff63, kV = 0x76; // X keysyms

} // namespace

unsigned portalRemoteDesktopVersion() {
    return portalVersion(kRemoteDesktop);
}

unsigned portalClipboardVersion() {
    return portalVersion(kClipboard);
}

std::string remoteDesktopTokenPath() {
    return QFileInfo(QString::fromStdString(JsonDefaultsStore::defaultPath()))
        .dir()
        .filePath(QStringLiteral("remote-desktop-token"))
        .toStdString();
}

PortalRemoteDesktop::PortalRemoteDesktop(unsigned version, std::string tokenPath,
                                         int answerTimeoutMs, bool wantClipboard)
    : bus_(QDBusConnection::sessionBus()), version_(version), tokenPath_(std::move(tokenPath)),
      wantClipboard_(wantClipboard),
      watcher_(new QDBusServiceWatcher(kPortal, bus_, QDBusServiceWatcher::WatchForUnregistration,
                                       this)) {
    deadline_.setSingleShot(true);
    deadline_.setInterval(answerTimeoutMs);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        requests_.forgetAll();
        closeSession();
        finish(false, "the desktop portal did not answer the remote-desktop request within " +
                          std::to_string(deadline_.interval()) +
                          " ms: dictations are copied, not pasted (the menu's Grant item asks "
                          "again)");
    });
    connect(watcher_, &QDBusServiceWatcher::serviceUnregistered, this,
            &PortalRemoteDesktop::onPortalGone);
    // Consent given before: the kept token (or, before version 2, the desktop's own memory)
    // starts the session without a dialog, so paste works from the start.
    if (QFile::exists(QString::fromStdString(tokenPath_)))
        start(nullptr);
}

PortalRemoteDesktop::~PortalRemoteDesktop() {
    requests_.forgetAll();
    closeSession();
}

void PortalRemoteDesktop::start(std::function<void(bool started)> answered) {
    if (started()) {
        if (answered)
            answered(true);
        return;
    }
    unasked_ = !answered && waiting_.empty();
    if (answered)
        waiting_.push_back(std::move(answered));
    if (asking_)
        return; // the answer under way serves this call too
    if (!bus_.isConnected()) {
        finish(false, "no session bus for the desktop portal");
        return;
    }
    asking_ = true;
    closeSession();
    deadline_.start();
    request(QStringLiteral("CreateSession"), {},
            {{QStringLiteral("session_handle_token"), requests_.sessionToken()}},
            [this](unsigned response, const QVariantMap& results) { created(response, results); });
}

void PortalRemoteDesktop::request(const QString& method, QList<QVariant> arguments,
                                  QVariantMap options, PortalRequests::Answer then) {
    requests_.call(kRemoteDesktop, method, std::move(arguments), std::move(options),
                   std::move(then), [this](const std::string& why) {
                       closeSession();
                       finish(false, why);
                   });
}

void PortalRemoteDesktop::created(unsigned response, const QVariantMap& results) {
    const QString session = response == 0
                                ? portalObjectPath(results.value(QStringLiteral("session_handle")))
                                : QString();
    if (session.isEmpty()) {
        finish(false, "the desktop portal made no remote-desktop session (response " +
                          std::to_string(response) + ")");
        return;
    }
    session_ = session;
    bus_.connect(kPortal, session_, kSession, kClosed, this, SLOT(onClosed(QDBusMessage)));
    QVariantMap options{{QStringLiteral("types"), kKeyboard}};
    if (version_ >= 2) {
        options.insert(QStringLiteral("persist_mode"), kUntilRevoked);
        if (const std::string token = readToken(); !token.empty())
            options.insert(QStringLiteral("restore_token"), QString::fromStdString(token));
    }
    request(QStringLiteral("SelectDevices"), {QVariant::fromValue(QDBusObjectPath(session_))},
            options,
            [this](unsigned response, const QVariantMap& results) { selected(response, results); });
}

void PortalRemoteDesktop::selected(unsigned response, const QVariantMap& results) {
    if (response != 0) {
        begun(response, results);
        return;
    }
    // Asked before Start, as the portal wants; the call goes out first on this connection. A
    // portal that refuses it still types: the clipboard is then the toolkit's.
    if (wantClipboard_)
        bus_.send(QDBusMessage::createMethodCall(kPortal, kPortalPath, kClipboard,
                                                 QStringLiteral("RequestClipboard"))
                  << QVariant::fromValue(QDBusObjectPath(session_)) << QVariantMap());
    request(QStringLiteral("Start"),
            {QVariant::fromValue(QDBusObjectPath(session_)), QString()}, // a tray has no window
            {},
            [this](unsigned response, const QVariantMap& results) { begun(response, results); });
}

void PortalRemoteDesktop::begun(unsigned response, const QVariantMap& results) {
    const bool keyboard = !results.contains(QStringLiteral("devices")) ||
                          (results.value(QStringLiteral("devices")).toUInt() & kKeyboard) != 0;
    if (response != 0 || !keyboard) {
        closeSession();
        // A refused consent is not asked again at the next start; the menu still can.
        QFile::remove(QString::fromStdString(tokenPath_));
        finish(false, response == 0
                          ? "the desktop granted no keyboard to the remote-desktop session: "
                            "dictations are copied, not pasted"
                          : "the desktop refused remote-desktop access (response " +
                                std::to_string(response) +
                                "): dictations are copied, not pasted (the menu's Grant item "
                                "asks again)");
        return;
    }
    started_ = true;
    clipboard_ = results.value(QStringLiteral("clipboard_enabled")).toBool();
    // Before version 2 there is no token: an empty file still says consent was given.
    saveToken(version_ >= 2 ? results.value(QStringLiteral("restore_token")).toString()
                            : QString());
    finish(true, "");
}

void PortalRemoteDesktop::finish(bool started, const std::string& why) {
    deadline_.stop();
    asking_ = false;
    say(why);
    const bool tell = std::exchange(unasked_, false) && started && onChange_;
    for (auto& answered : std::exchange(waiting_, {}))
        answered(started);
    if (tell)
        onChange_(true);
}

void PortalRemoteDesktop::closeSession() {
    if (session_.isEmpty())
        return;
    bus_.disconnect(kPortal, session_, kSession, kClosed, this, SLOT(onClosed(QDBusMessage)));
    bus_.send(QDBusMessage::createMethodCall(kPortal, session_, kSession, QStringLiteral("Close")));
    session_.clear();
    started_ = clipboard_ = false;
}

void PortalRemoteDesktop::onClosed(const QDBusMessage& message) {
    if (message.path() == session_)
        lose("the desktop closed the remote-desktop session: dictations are copied, not pasted "
             "(the menu's Grant item asks again)");
}

void PortalRemoteDesktop::onPortalGone() {
    if (asking_) {
        requests_.forgetAll();
        session_.clear();
        started_ = clipboard_ = false;
        finish(false, "the desktop portal went away while asking for remote-desktop access");
        return;
    }
    lose("the desktop portal went away: dictations are copied, not pasted");
}

void PortalRemoteDesktop::lose(const std::string& why) {
    if (session_.isEmpty())
        return;
    const bool was = started();
    bus_.disconnect(kPortal, session_, kSession, kClosed, this, SLOT(onClosed(QDBusMessage)));
    session_.clear();
    started_ = clipboard_ = false;
    say(why);
    if (was && onChange_)
        onChange_(false);
}

void PortalRemoteDesktop::say(const std::string& line) {
    if (line.empty() || line == said_)
        return;
    std::fprintf(stderr, "murmelin: paste: %s\n", line.c_str());
    said_ = line;
}

bool PortalRemoteDesktop::sendKeysym(int keysym, bool pressed) {
    if (!started())
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(kPortal, kPortalPath, kRemoteDesktop,
                                                       QStringLiteral("NotifyKeyboardKeysym"));
    call << QVariant::fromValue(QDBusObjectPath(session_)) << QVariantMap() << keysym
         << uint(pressed ? 1 : 0);
    return bus_.send(call);
}

std::string PortalRemoteDesktop::readToken() const {
    QFile file(QString::fromStdString(tokenPath_));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(4096).trimmed().toStdString();
}

void PortalRemoteDesktop::saveToken(const QString& token) const {
    const QString path = QString::fromStdString(tokenPath_);
    QDir().mkpath(QFileInfo(path).path());
    // Replaced whole or not at all: a torn token would cost the user the dialog again.
    QSaveFile file(path);
    const bool kept = file.open(QIODevice::WriteOnly) &&
                      file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) &&
                      file.write(token.toUtf8()) == token.toUtf8().size() && file.commit();
    if (!kept)
        std::fprintf(stderr,
                     "murmelin: paste: could not keep the remote-desktop consent in %s: %s\n",
                     tokenPath_.c_str(), qPrintable(file.errorString()));
}

PortalKeyInjector::PortalKeyInjector(PortalRemoteDesktop& portal,
                                     std::shared_ptr<const PasteChordTable> chords,
                                     std::function<WindowClass()> activeWindow)
    : portal_(portal), chords_(std::move(chords)), activeWindow_(std::move(activeWindow)) {}

PasteChord PortalKeyInjector::pasteChord() {
    return chords_->chordFor(activeWindow_ ? activeWindow_() : WindowClass{});
}

bool PortalKeyInjector::postPaste(PasteChord chord) {
    if (!portal_.started())
        return false;
    std::vector<int> keys;
    switch (chord) {
    case PasteChord::controlV:
        keys = {kControlL, kV};
        break;
    case PasteChord::controlShiftV:
        keys = {kControlL, kShiftL, kV};
        break;
    case PasteChord::shiftInsert:
        keys = {kShiftL, kInsert};
        break;
    }
    std::vector<std::pair<int, bool>> events;
    for (int key : keys)
        events.emplace_back(key, true);
    for (auto key = keys.rbegin(); key != keys.rend(); ++key)
        events.emplace_back(*key, false);
    // Paced, not in one burst: on KWin a burst sometimes reached the window as a bare "v", the
    // Control press not yet in effect.
    for (size_t i = 0; i < events.size(); ++i)
        QTimer::singleShot(int(i) * kChordGapMs, &portal_, [portal = &portal_, event = events[i]] {
            portal->sendKeysym(event.first, event.second);
        });
    return true;
}

PortalTrust::PortalTrust(PortalRemoteDesktop& portal) : portal_(portal) {}

bool PortalTrust::isTrusted() {
    return portal_.started();
}

void PortalTrust::requestTrust(std::function<void(bool trusted)> answered) {
    portal_.start([answered = std::move(answered)](bool started) {
        if (answered)
            answered(started);
    });
}

void PortalTrust::setOnChange(std::function<void(bool trusted)> onChange) {
    portal_.setOnChange(std::move(onChange));
}

} // namespace murmelin
