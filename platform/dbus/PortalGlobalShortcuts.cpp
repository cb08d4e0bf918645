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

const QString kShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");

} // namespace

void registerPortalTypes() {
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<PortalShortcuts>();
}

PortalGlobalShortcuts::PortalGlobalShortcuts()
    : bus_(QDBusConnection::sessionBus()), requests_(bus_, QStringLiteral("murmelin")) {
    registerPortalTypes();
    bus_.connect(kPortal, kPortalPath, kShortcuts, QStringLiteral("Activated"), this,
                 SLOT(onActivated(QDBusMessage)));
    bus_.connect(kPortal, kPortalPath, kShortcuts, QStringLiteral("Deactivated"), this,
                 SLOT(onDeactivated(QDBusMessage)));
}

PortalGlobalShortcuts::~PortalGlobalShortcuts() {
    closeSession();
    requests_.forgetAll();
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
    // Plasma 5.27's portal binds only the shortcuts named here, and answers BindShortcuts by
    // opening System Settings; other portals ignore the option.
    request(QStringLiteral("CreateSession"), {},
            {{QStringLiteral("session_handle_token"), requests_.sessionToken()},
             {QStringLiteral("shortcuts"), QVariant::fromValue(wanted())}},
            [this](unsigned response, const QVariantMap& results) { created(response, results); });
}

PortalShortcuts PortalGlobalShortcuts::wanted() const {
    return {{QString::fromStdString(shortcut_.id),
             {{QStringLiteral("description"), QString::fromStdString(shortcut_.description)},
              {QStringLiteral("preferred_trigger"),
               QString::fromStdString(portalTrigger(shortcut_.preferredTrigger))}}}};
}

std::optional<std::string> PortalGlobalShortcuts::triggerIn(const QVariantMap& results) const {
    const auto shortcuts = qdbus_cast<PortalShortcuts>(results.value(QStringLiteral("shortcuts")));
    for (const PortalShortcut& shortcut : shortcuts)
        if (shortcut.id.toStdString() == shortcut_.id)
            return shortcut.properties.value(QStringLiteral("trigger_description"))
                .toString()
                .toStdString();
    return std::nullopt;
}

void PortalGlobalShortcuts::request(const QString& method, QList<QVariant> arguments,
                                    QVariantMap options, PortalRequests::Answer then) {
    requests_.call(
        kShortcuts, method, std::move(arguments), std::move(options), std::move(then),
        [this](const std::string& why) { finish(HotKeyRegistration::unavailable, "", why); });
}

void PortalGlobalShortcuts::created(unsigned response, const QVariantMap& results) {
    if (response == 0)
        session_ = portalObjectPath(results.value(QStringLiteral("session_handle")));
    if (session_.isEmpty()) {
        finish(HotKeyRegistration::unavailable, "",
               "the desktop portal made no shortcut session (response " + std::to_string(response) +
                   ")");
        return;
    }
    if (const auto trigger = triggerIn(results)) {
        finish(HotKeyRegistration::bound, *trigger, ""); // bound with the session
        return;
    }
    request(QStringLiteral("BindShortcuts"),
            {QVariant::fromValue(QDBusObjectPath(session_)), QVariant::fromValue(wanted()),
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
    if (const auto trigger = triggerIn(results)) {
        finish(HotKeyRegistration::bound, *trigger, "");
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
    return !session_.isEmpty() && arguments.size() >= 2 &&
           portalObjectPath(arguments.at(0)) == session_ &&
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
