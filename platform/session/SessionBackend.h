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
