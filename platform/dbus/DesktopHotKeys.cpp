#include "DesktopHotKeys.h"
#include "ControlHotKeySource.h"
#include "KdeDesktop.h"
#include "PortalGlobalShortcuts.h"
#include "PortalRequests.h"

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
        kPortal, kPortalPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get << QStringLiteral("org.freedesktop.portal.GlobalShortcuts") << QStringLiteral("version");
    return bus.call(get, QDBus::Block, 1000).type() == QDBusMessage::ReplyMessage;
}

// The portal's key, else Plasma's kglobalaccel where the portal binds nothing (Plasma 5.27
// answers with an empty list), with the key commands beside them: a user who declined the
// portal's dialog can still bind `murmelin press` in the desktop's settings. The outcome is
// the portal's, or kglobalaccel's when that serves.
class DesktopKeys final : public HotKeySource {
public:
    DesktopKeys(bool portal, bool kde) {
        if (portal)
            portal_ = std::make_unique<PortalGlobalShortcuts>();
        if (kde)
            kde_ = std::make_unique<KGlobalAccelHotKeys>();
    }
    void bind(const Shortcut& shortcut, std::function<void(ShortcutEdge)> onEdge,
              std::function<void(ShortcutBinding)> onResult) override {
        commands_.bind(shortcut, onEdge, portal_ || kde_ ? nullptr : onResult);
        if (!portal_) {
            if (kde_)
                kde_->bind(shortcut, std::move(onEdge), std::move(onResult));
            return;
        }
        portal_->bind(shortcut, onEdge,
                      [this, shortcut, onEdge, onResult](ShortcutBinding binding) {
                          if (binding.outcome != HotKeyRegistration::bound && kde_)
                              kde_->bind(shortcut, onEdge, onResult);
                          else if (onResult)
                              onResult(binding);
                      });
    }

private:
    ControlHotKeySource commands_;
    std::unique_ptr<PortalGlobalShortcuts> portal_;
    std::unique_ptr<KGlobalAccelHotKeys> kde_;
};

} // namespace

std::unique_ptr<HotKeySource> makeDesktopHotKeys() {
    const bool portal = portalOffersGlobalShortcuts();
    const bool kde = busHasName(QStringLiteral("org.kde.kglobalaccel"));
    if (portal || kde) {
        std::fprintf(stderr, "murmelin: hot key through %s\n",
                     portal && kde ? "the GlobalShortcuts portal, else kglobalaccel"
                     : portal      ? "the GlobalShortcuts portal"
                                   : "kglobalaccel");
        return std::make_unique<DesktopKeys>(portal, kde);
    }
    std::fprintf(stderr, "murmelin: no global-shortcut portal: bind Ctrl+Alt+Space in your "
                         "compositor to `murmelin press` and `murmelin release`, or to "
                         "`murmelin toggle` where shortcuts fire on press only, as GNOME's "
                         "(see README)\n");
    return std::make_unique<ControlHotKeySource>();
}

} // namespace murmelin
