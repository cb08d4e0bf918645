#pragma once

#include "ports/Shortcuts.h"

#include <optional>
#include <string>

namespace murmelin {

// Turns key commands that arrive one by one (from a desktop's own shortcut settings) into the
// edges of one held key. A desktop that repeats a held shortcut sends press after press; one
// whose shortcuts fire on press only sends toggle for both ends. Not thread-safe.
class ControlEdges {
public:
    enum class Command { press, release, toggle };

    // The edge the command gives, or nothing when it changes nothing (a press while held, a
    // release while not held).
    std::optional<ShortcutEdge> apply(Command command);
    bool held() const { return held_; }

private:
    bool held_ = false;
};

// "Ctrl+Alt+Space" in the shortcut-string form desktop portals take, "CTRL+ALT+space":
// modifiers in capitals, the key as its keysym name.
std::string portalTrigger(const std::string& trigger);

} // namespace murmelin
