#include "DesktopHotKeys.h"
#include "ControlHotKeySource.h"
#include "PortalGlobalShortcuts.h"

#include <QDBusConnection>
#include <QDBusMessage>

#include <cstdio>

namespace murmelin {
namespace {

// Whether the session has a desktop portal that offers GlobalShortcuts. One call: it may start
// the portal (activation), but is not waited for longer than a second.
bool portalOffersGlobalShortcuts() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.portal.Desktop"),
        QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.freedesktop.portal.GlobalShortcuts") << QStringLiteral("version");
    return bus.call(get, QDBus::Block, 1000).type() == QDBusMessage::ReplyMessage;
}

// The portal's key, with the key commands beside it: a desktop whose portal binds nothing
// (KWin answers with an empty list) or a user who declined its dialog can still bind
// `murmelin press` in the desktop's settings. The outcome is the portal's.
class PortalAndCommands final : public HotKeySource {
public:
    void bind(const Shortcut& shortcut, std::function<void(ShortcutEdge)> onEdge,
              std::function<void(ShortcutBinding)> onResult) override {
        commands_.bind(shortcut, onEdge, nullptr);
        portal_.bind(shortcut, std::move(onEdge), std::move(onResult));
    }

private:
    ControlHotKeySource commands_;
    PortalGlobalShortcuts portal_;
};

} // namespace

std::unique_ptr<HotKeySource> makeDesktopHotKeys(MainQueue& /*main*/) {
    if (portalOffersGlobalShortcuts()) {
        std::fprintf(stderr, "murmelin: hot key through the GlobalShortcuts portal\n");
        return std::make_unique<PortalAndCommands>();
    }
    std::fprintf(stderr, "murmelin: no global-shortcut portal: bind Ctrl+Alt+Space in your "
                         "compositor to `murmelin press` and `murmelin release` (see README)\n");
    return std::make_unique<ControlHotKeySource>();
}

} // namespace murmelin
