#include "PortalGlobalShortcuts.h"
#include "PortalShortcut.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <cstdio>
#include <utility>

namespace murmelin {
namespace {

const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kResponse = QStringLiteral("Response");

// Portals answer "session_handle" as a string or as an object path.
QString pathIn(const QVariant& value) {
    if (value.userType() == qMetaTypeId<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return value.toString();
}

} // namespace

void registerPortalTypes() {
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<PortalShortcuts>();
}

PortalGlobalShortcuts::PortalGlobalShortcuts() : bus_(QDBusConnection::sessionBus()) {
    registerPortalTypes();
    // Request objects are named after our unique name: ":1.42" becomes "1_42".
    requestPrefix_ = kPortalPath + QStringLiteral("/request/") +
                     bus_.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_')) +
                     QLatin1Char('/');
    bus_.connect(kPortal, kPortalPath, kShortcuts, QStringLiteral("Activated"), this,
                 SLOT(onActivated(QDBusMessage)));
    bus_.connect(kPortal, kPortalPath, kShortcuts, QStringLiteral("Deactivated"), this,
                 SLOT(onDeactivated(QDBusMessage)));
}

PortalGlobalShortcuts::~PortalGlobalShortcuts() {
    closeSession();
    while (!requests_.empty())
        forget(requests_.begin()->first);
    bus_.disconnect(kPortal, kPortalPath, kShortcuts, QStringLiteral("Activated"), this,
                    SLOT(onActivated(QDBusMessage)));
    bus_.disconnect(kPortal, kPortalPath, kShortcuts, QStringLiteral("Deactivated"), this,
                    SLOT(onDeactivated(QDBusMessage)));
}

void PortalGlobalShortcuts::bind(const Shortcut& shortcut, std::function<void(ShortcutEdge)> onEdge,
                                 std::function<void(ShortcutBinding)> onResult) {
    shortcut_ = shortcut;
    onEdge_ = std::move(onEdge);
    if (onResult)
        waiting_.push_back(std::move(onResult));
    if (asking_)
        return; // the answer under way serves this call too
    if (declined_) {
        finish(HotKeyRegistration::unavailable, "", "");
        return;
    }
    if (!bus_.isConnected()) {
        finish(HotKeyRegistration::unavailable, "", "no session bus for the desktop portal");
        return;
    }
    asking_ = true;
    closeSession();
    edges_ = {}; // a new session holds no key
    const QString token = QStringLiteral("murmelin_session%1").arg(++tokens_);
    request(QStringLiteral("CreateSession"), {}, {{QStringLiteral("session_handle_token"), token}},
            [this](unsigned response, const QVariantMap& results) { created(response, results); });
}

void PortalGlobalShortcuts::request(const QString& method, QList<QVariant> arguments,
                                    QVariantMap options, Continuation then) {
    const QString token = QStringLiteral("murmelin%1").arg(++tokens_);
    options.insert(QStringLiteral("handle_token"), token);
    // Subscribed before the call: the answer may come before the call returns.
    const QString path = requestPrefix_ + token;
    listen(path, std::move(then));
    arguments.append(options);
    QDBusMessage call = QDBusMessage::createMethodCall(kPortal, kPortalPath, kShortcuts, method);
    call.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, path, method](QDBusPendingCallWatcher* watcher) {
                watcher->deleteLater();
                const QDBusPendingReply<QDBusObjectPath> reply = *watcher;
                const auto it = requests_.find(path);
                if (it == requests_.end())
                    return; // answered already
                if (reply.isError()) {
                    forget(path);
                    finish(HotKeyRegistration::unavailable, "",
                           "the desktop portal refused " + method.toStdString() + ": " +
                               reply.error().message().toStdString());
                    return;
                }
                const QString handle = reply.value().path();
                if (handle != path) { // portals before version 0.9 chose the path themselves
                    Continuation then = std::move(it->second);
                    forget(path);
                    listen(handle, std::move(then));
                }
            });
}

void PortalGlobalShortcuts::listen(const QString& requestPath, Continuation then) {
    requests_[requestPath] = std::move(then);
    bus_.connect(kPortal, requestPath, kRequest, kResponse, this, SLOT(onResponse(QDBusMessage)));
}

void PortalGlobalShortcuts::forget(const QString& requestPath) {
    requests_.erase(requestPath);
    bus_.disconnect(kPortal, requestPath, kRequest, kResponse, this,
                    SLOT(onResponse(QDBusMessage)));
}

void PortalGlobalShortcuts::onResponse(const QDBusMessage& message) {
    const auto it = requests_.find(message.path());
    const QList<QVariant> arguments = message.arguments();
    if (it == requests_.end() || arguments.size() < 2)
        return;
    const Continuation then = std::move(it->second);
    forget(message.path());
    then(arguments.at(0).toUInt(), qdbus_cast<QVariantMap>(arguments.at(1)));
}

void PortalGlobalShortcuts::created(unsigned response, const QVariantMap& results) {
    if (response == 0)
        session_ = pathIn(results.value(QStringLiteral("session_handle")));
    if (session_.isEmpty()) {
        finish(HotKeyRegistration::unavailable, "",
               "the desktop portal made no shortcut session (response " + std::to_string(response) +
                   ")");
        return;
    }
    const PortalShortcuts shortcuts{
        {QString::fromStdString(shortcut_.id),
         {{QStringLiteral("description"), QString::fromStdString(shortcut_.description)},
          {QStringLiteral("preferred_trigger"),
           QString::fromStdString(portalTrigger(shortcut_.preferredTrigger))}}}};
    request(QStringLiteral("BindShortcuts"),
            {QVariant::fromValue(QDBusObjectPath(session_)), QVariant::fromValue(shortcuts),
             QString()}, // no parent window: a tray program has none
            {},
            [this](unsigned response, const QVariantMap& results) { bound(response, results); });
}

void PortalGlobalShortcuts::bound(unsigned response, const QVariantMap& results) {
    if (response == 1) {
        // The user said no in the desktop's dialog: asking again every retry would nag.
        declined_ = true;
        finish(HotKeyRegistration::unavailable, "",
               "the desktop's shortcut dialog was cancelled: no hot key from the portal until "
               "Murmelin starts again (`murmelin press` bound in the desktop's own settings "
               "still works, see README)");
        return;
    }
    if (response != 0) {
        finish(HotKeyRegistration::unavailable, "",
               "the desktop portal did not bind the hot key (response " + std::to_string(response) +
                   ")");
        return;
    }
    const auto shortcuts = qdbus_cast<PortalShortcuts>(results.value(QStringLiteral("shortcuts")));
    for (const PortalShortcut& shortcut : shortcuts) {
        if (shortcut.id.toStdString() != shortcut_.id)
            continue;
        finish(HotKeyRegistration::bound,
               shortcut.properties.value(QStringLiteral("trigger_description"))
                   .toString()
                   .toStdString(),
               "");
        return;
    }
    finish(HotKeyRegistration::unavailable, "",
           "the desktop portal accepted the hot key but gave it no keys");
}

void PortalGlobalShortcuts::finish(HotKeyRegistration outcome, const std::string& trigger,
                                   const std::string& why) {
    asking_ = false;
    if (!why.empty() && why != said_) {
        std::fprintf(stderr, "murmelin: hot key: %s\n", why.c_str());
        said_ = why;
    }
    for (auto& onResult : std::exchange(waiting_, {}))
        onResult({outcome, trigger});
}

bool PortalGlobalShortcuts::ours(const QDBusMessage& message) const {
    const QList<QVariant> arguments = message.arguments();
    return !session_.isEmpty() && arguments.size() >= 2 && pathIn(arguments.at(0)) == session_ &&
           arguments.at(1).toString().toStdString() == shortcut_.id;
}

void PortalGlobalShortcuts::onActivated(const QDBusMessage& message) {
    // Some desktops repeat Activated while the key is held: only the first one counts.
    if (ours(message))
        if (const auto edge = edges_.apply(ControlEdges::Command::press); edge && onEdge_)
            onEdge_(*edge);
}

void PortalGlobalShortcuts::onDeactivated(const QDBusMessage& message) {
    if (ours(message))
        if (const auto edge = edges_.apply(ControlEdges::Command::release); edge && onEdge_)
            onEdge_(*edge);
}

void PortalGlobalShortcuts::closeSession() {
    if (session_.isEmpty())
        return;
    bus_.send(QDBusMessage::createMethodCall(kPortal, session_,
                                             QStringLiteral("org.freedesktop.portal.Session"),
                                             QStringLiteral("Close")));
    session_.clear();
}

} // namespace murmelin
