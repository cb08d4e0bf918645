#include "SessionBackend.h"

#include "DesktopHotKeys.h"
#include "KdeDesktop.h"
#include "NullDesktop.h"
#include "PasteChords.h"
#include "PortalClipboard.h"
#include "PortalRemoteDesktop.h"
#include "WaylandClipboard.h"
#include "WaylandConnection.h"
#include "WaylandKeyInjector.h"
#include "WaylandToplevels.h"
#include "WaylandTrust.h"
#include "X11AccessibilityTrust.h"
#include "X11HotKeySource.h"
#include "X11KeyInjector.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace murmelin {
namespace {

// A backend made of one adapter per facility; `keys` takes the arguments.
template <class HotKeys, class Keys, class Trust> class Adapters : public SessionBackend {
public:
    template <class... KeyArgs>
    explicit Adapters(KeyArgs&&... keyArgs) : keys_(std::forward<KeyArgs>(keyArgs)...) {}
    HotKeySource& hotKeys() override { return hotKeys_; }
    KeyInjector& keys() override { return keys_; }
    AccessibilityTrust& trust() override { return trust_; }

protected:
    HotKeys hotKeys_;
    Keys keys_;
    Trust trust_;
};

class X11Backend final : public Adapters<X11HotKeySource, X11KeyInjector, X11AccessibilityTrust> {
public:
    X11Backend(MainQueue& main, const DefaultsStore& defaults)
        : Adapters(readPasteChords(defaults)) {
        // A paste due while the hot key is held again waits for its release: our own grab
        // would swallow it (see X11HotKeySource).
        keys_.setDeferral([this, &main](std::function<void()> retry) {
            return hotKeys_.deferUntilReleased([retry, &main] { main.async(retry); });
        });
    }
};

using NullBackend = Adapters<NullHotKeySource, NullKeyInjector, NullAccessibilityTrust>;

// KWin and mutter let no client inject keys: there the desktop portal's RemoteDesktop session
// types the paste, and trust is that session running. KWin tells the focused window's class
// through a script of ours; elsewhere every application gets Control+V.
struct PortalPaste {
    PortalPaste(unsigned version, std::shared_ptr<const PasteChordTable> chords, bool wantClipboard)
        : remote(version, remoteDesktopTokenPath(), PortalRemoteDesktop::kAnswerTimeoutMs,
                 wantClipboard),
          keys(remote, std::move(chords),
               [this] { return windowClassOfAppId(kwin.resourceClass()); }),
          trust(remote) {}
    KWinActiveWindow kwin;
    PortalRemoteDesktop remote;
    PortalKeyInjector keys;
    PortalTrust trust;
};

// The wlroots family's protocols, each used when the compositor offers it, and the portal's
// keyboard where the compositor offers none; what is missing is said once at start, with what
// the user loses.
class WaylandBackend final : public SessionBackend {
public:
    WaylandBackend(std::unique_ptr<WaylandConnection> connection, MainQueue& main,
                   const DefaultsStore& defaults)
        : connection_(std::move(connection)), chords_(readPasteChords(defaults)),
          toplevels_(*connection_), keys_(*connection_, &toplevels_, chords_),
          trust_(*connection_, main), clipboard_(*connection_), hotKeys_(makeDesktopHotKeys()) {
        const WaylandOffers& offers = connection_->offers();
        auto lacks = [](const char* what) {
            std::fprintf(stderr, "murmelin: this Wayland compositor offers no %s\n", what);
        };
        // Through Xwayland both work without focus: main() has said so.
        const bool xwayland =
            !chooseQtPlatform(SessionKind::wayland, &offers, std::getenv("DISPLAY"))
                 .platform.empty();
        if (!offers.canPaste()) {
            if (const unsigned version = portalRemoteDesktopVersion()) {
                std::fprintf(stderr,
                             "murmelin: pasting through the RemoteDesktop portal (version %u)\n",
                             version);
                // Without data control, the portal's clipboard is the one that needs no
                // focus; Xwayland's needs no consent either, so it is preferred.
                const bool portalClipboard =
                    !offers.canCopy() && !xwayland && portalClipboardVersion() > 0;
                portal_ = std::make_unique<PortalPaste>(version, chords_, portalClipboard);
                if (portalClipboard)
                    std::fprintf(stderr, "murmelin: the clipboard goes through the "
                                         "RemoteDesktop portal while its session runs\n");
            } else {
                lacks("virtual-keyboard protocol and the session has no RemoteDesktop portal; "
                      "dictations are copied to the clipboard, not pasted");
            }
        }
        if (!offers.canCopy() && !xwayland)
            lacks("data-control protocol; the clipboard works only while a Murmelin window has "
                  "focus");
        if (offers.canPaste() && !offers.foreignToplevel)
            lacks("foreign-toplevel protocol; every application gets Control+V, terminals too");
        if (!offers.canShowPanels() && !xwayland)
            lacks("layer-shell protocol; the panel is an ordinary window that the compositor "
                  "places");
    }
    HotKeySource& hotKeys() override { return *hotKeys_; }
    KeyInjector& keys() override {
        return portal_ ? static_cast<KeyInjector&>(portal_->keys) : keys_;
    }
    AccessibilityTrust& trust() override {
        return portal_ ? static_cast<AccessibilityTrust&>(portal_->trust) : trust_;
    }
    Clipboard& clipboard(Clipboard& toolkit) override {
        if (connection_->offers().canCopy())
            return clipboard_;
        if (portal_ && portal_->remote.wantsClipboard()) {
            if (!portalClipboard_)
                portalClipboard_ = std::make_unique<PortalClipboard>(portal_->remote, toolkit);
            return *portalClipboard_;
        }
        return toolkit;
    }
    WaylandConnection* layerShell() override {
        return connection_->offers().canShowPanels() ? connection_.get() : nullptr;
    }

private:
    std::unique_ptr<WaylandConnection> connection_; // first made, last gone: the others use it
    std::shared_ptr<const PasteChordTable> chords_;
    WaylandToplevels toplevels_;
    WaylandKeyInjector keys_;
    WaylandTrust trust_;
    WaylandClipboard clipboard_;
    // No client grabs a key here: the GlobalShortcuts portal or `murmelin press`/`release`.
    std::unique_ptr<HotKeySource> hotKeys_;
    std::unique_ptr<PortalPaste> portal_; // null where the compositor types itself
    std::unique_ptr<PortalClipboard> portalClipboard_;
};

} // namespace

std::optional<SessionKind> chooseSession(const std::function<const char*(const char*)>& env,
                                         std::string& problem) {
    if (const char* wanted = env("MURMELIN_SESSION"); wanted && *wanted) {
        for (SessionKind kind : {SessionKind::x11, SessionKind::wayland, SessionKind::none})
            if (std::strcmp(wanted, sessionName(kind)) == 0)
                return kind;
        problem = std::string("MURMELIN_SESSION=") + wanted +
                  " names no session kind Murmelin knows (x11, wayland, none)";
        return std::nullopt;
    }
    auto set = [&](const char* name) {
        const char* value = env(name);
        return value && *value;
    };
    return set("WAYLAND_DISPLAY") ? SessionKind::wayland
           : set("DISPLAY")       ? SessionKind::x11
                                  : SessionKind::none;
}

QtPlatformChoice chooseQtPlatform(SessionKind kind, const WaylandOffers* offers,
                                  const char* display) {
    if (kind != SessionKind::wayland || !offers || offers->canCopy() || offers->canShowPanels() ||
        !display || !*display)
        return {};
    return {"xcb", std::string("this Wayland compositor offers neither data-control nor "
                               "layer-shell: running on Xwayland (Qt's xcb, DISPLAY ") +
                       display +
                       ") so that the clipboard and the panel work without focus; keys and "
                       "paste stay with the Wayland session"};
}

QtPlatformChoice chooseQtPlatform(const std::function<const char*(const char*)>& env) {
    std::string problem;
    const auto kind = chooseSession(env, problem);
    if (kind != SessionKind::wayland)
        return {};
    // An unreachable compositor is said once, by makeSessionBackend.
    const auto offers = probeWaylandOffers(problem);
    return chooseQtPlatform(*kind, offers ? &*offers : nullptr, env("DISPLAY"));
}

const char* sessionName(SessionKind kind) {
    switch (kind) {
    case SessionKind::x11:
        return "x11";
    case SessionKind::wayland:
        return "wayland";
    case SessionKind::none:
        break;
    }
    return "none";
}

std::unique_ptr<SessionBackend> makeSessionBackend(SessionKind kind, MainQueue& main,
                                                   const DefaultsStore& defaults) {
    if (kind == SessionKind::wayland) {
        std::string problem;
        if (auto connection = WaylandConnection::connect(problem))
            return std::make_unique<WaylandBackend>(std::move(connection), main, defaults);
        const char* display = std::getenv("DISPLAY");
        kind = display && *display ? SessionKind::x11 : SessionKind::none;
        std::fprintf(stderr, "murmelin: %s; using the %s session instead\n", problem.c_str(),
                     kind == SessionKind::x11 ? "X11" : "desktop-less");
    }
    if (kind == SessionKind::x11)
        return std::make_unique<X11Backend>(main, defaults);
    return std::make_unique<NullBackend>();
}

} // namespace murmelin
