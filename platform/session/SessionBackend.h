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

// The kinds of desktop session the program has a backend for.
enum class SessionKind { x11, none };

// Which backend serves this session: MURMELIN_SESSION ("x11" or "none") when set, else X11
// when there is an X display (Wayland desktops offer one through Xwayland), else none.
// `env` looks up an environment variable (null when unset). Nothing for an unknown
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
};

// Made on the main thread; `defaults` gives the user's paste chords. `main` and `defaults`
// must outlive the backend.
std::unique_ptr<SessionBackend> makeSessionBackend(SessionKind kind, MainQueue& main,
                                                   const DefaultsStore& defaults);

} // namespace murmelin
