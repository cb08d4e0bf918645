#pragma once

#include <functional>
#include <string>

namespace murmelin {

// A desktop-wide shortcut the program asks for.
struct Shortcut {
    std::string id;               // stable, for desktops that remember shortcuts by name
    std::string description;      // what it does, for desktops that list shortcuts
    std::string preferredTrigger; // the keys we would like, "Ctrl+Alt+Space"
};

// What became of a binding. `pending` only until the first outcome is known.
enum class HotKeyRegistration {
    pending,
    bound,       // the trigger works
    taken,       // another program holds the trigger
    unavailable, // the desktop refused it or cannot bind shortcuts at all
};

struct ShortcutBinding {
    HotKeyRegistration outcome = HotKeyRegistration::pending;
    // The keys the desktop actually gave, which the user may have changed; the preferred
    // trigger when it says nothing.
    std::string trigger;
};

enum class ShortcutEdge { pressed, released };

// Desktop-wide shortcuts. The handlers may be called on any thread of the source's own; edges
// of one shortcut come in the order they happened.
class HotKeySource {
public:
    virtual ~HotKeySource() = default;
    // Binds `shortcut`; `onResult` gets the outcome (at once or later, once per call), `onEdge`
    // each press and release from then on. Binding the same id again tries anew and replaces
    // the handlers.
    virtual void bind(const Shortcut& shortcut, std::function<void(ShortcutEdge)> onEdge,
                      std::function<void(ShortcutBinding)> onResult) = 0;
};

} // namespace murmelin
