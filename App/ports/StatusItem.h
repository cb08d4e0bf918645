#pragma once

#include <functional>
#include <string>
#include <vector>

namespace murmelin {

// One entry of the status item's pull-down menu, built fresh on every change.
struct MenuItem {
    enum class Kind { text, button, separator, submenu };
    Kind kind = Kind::text;
    std::string title;
    bool checkable = false; // submenu rows: exclusive choice
    bool toggle = false;    // a check box of its own, on or off
    bool checked = false;
    std::string shortcut; // e.g. "Ctrl+Q"
    std::function<void()> action;
    std::vector<MenuItem> children; // submenu rows
};

enum class StatusIcon { mic, micFill };

// The status-area item and its menu. Main thread.
class StatusItemHost {
public:
    virtual ~StatusItemHost() = default;
    virtual void setIcon(StatusIcon icon) = 0;
    virtual void setMenu(std::vector<MenuItem> items) = 0;
    // The text shown when the pointer rests on the item.
    virtual void setToolTip(const std::string& text) = 0;
    // Called each time the menu is about to open (by either mouse button).
    virtual void setOnMenuOpen(std::function<void()> onMenuOpen) = 0;
    virtual void terminate() = 0;
};

// Whether the program starts with the user's desktop session. Main thread.
class LoginItem {
public:
    virtual ~LoginItem() = default;
    virtual bool isEnabled() const = 0;
    // "" when done, else why not (the folder or file and the system's reason).
    virtual std::string setEnabled(bool enabled) = 0;
};

// Looks up the program's fixed texts; the key itself when there is no translation.
class Translator {
public:
    virtual ~Translator() = default;
    virtual std::string translate(const std::string& key) const = 0;
};

} // namespace murmelin
