#pragma once

#include "MainQueue.h"
#include "ports/Defaults.h"
#include "ports/Desktop.h"
#include "ports/Shortcuts.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace murmelin {

class WaylandConnection;
struct WaylandOffers;

// The kinds of desktop session the program has a backend for.
enum class SessionKind { x11, wayland, none };

// Which backend serves this session: MURMELIN_SESSION ("x11", "wayland" or "none") when set,
// else Wayland when there is a Wayland display, else X11 when there is an X display, else
// none. A Wayland desktop's Xwayland DISPLAY never wins: XTest and the X grab reach only X11
// windows. `env` looks up an environment variable (null when unset). Nothing for an unknown
// MURMELIN_SESSION, with `problem` saying why.
std::optional<SessionKind> chooseSession(const std::function<const char*(const char*)>& env,
                                         std::string& problem);
const char* sessionName(SessionKind kind);

// The Qt platform plugin the program runs on when it chooses one itself, and why. Empty: Qt's
// own choice (QT_QPA_PLATFORM, else its default).
struct QtPlatformChoice {
    std::string platform;
    std::string why; // one line for stderr
};

// A Wayland compositor that offers neither data-control nor layer-shell (mutter) lets a Wayland
// client copy and show a panel only while it has focus; through Xwayland, which such a desktop
// bridges to its Wayland clients, the X11 clipboard and panel work without focus. So with an
// X display there the program's Qt runs on "xcb"; the session backend stays the Wayland one
// (paste through the portal: an X grab or XTest reaches only X11 windows). `offers`: the
// compositor's, null when none was reached; `display`: DISPLAY.
QtPlatformChoice chooseQtPlatform(SessionKind kind, const WaylandOffers* offers,
                                  const char* display);
// The same for this process: the session from `env`, the offers asked of the compositor on a
// short connection of their own. Before the QApplication is made.
QtPlatformChoice chooseQtPlatform(const std::function<const char*(const char*)>& env);

// The facilities that differ from one desktop session to another. Made once at start.
class SessionBackend {
public:
    virtual ~SessionBackend() = default;
    virtual HotKeySource& hotKeys() = 0;
    virtual KeyInjector& keys() = 0;
    virtual AccessibilityTrust& trust() = 0;
    // The clipboard to use: the session's own where it works without focus, else `toolkit`
    // (which must outlive the backend).
    virtual Clipboard& clipboard(Clipboard& toolkit) { return toolkit; }
    // The connection that makes layer-shell panels (WaylandLayerPanel), when the compositor
    // offers them; null: the toolkit's windows.
    virtual WaylandConnection* layerShell() { return nullptr; }
};

// Made on the main thread; `defaults` gives the user's paste chords. `main` and `defaults`
// must outlive the backend. A Wayland session whose compositor cannot be reached is said on
// stderr and served by X11 when there is an X display, else by none.
std::unique_ptr<SessionBackend> makeSessionBackend(SessionKind kind, MainQueue& main,
                                                   const DefaultsStore& defaults);

} // namespace murmelin
