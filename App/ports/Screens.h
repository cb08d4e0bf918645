#pragma once

#include <memory>
#include <optional>
#include <vector>

namespace murmelin {

class LevelModel;

// Global desktop coordinates with the origin at the top left and y pointing down, as X11
// and Qt use them.
struct Point {
    double x = 0, y = 0;
};
struct Size {
    double width = 0, height = 0;
};
struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    double minX() const { return x; }
    double midX() const { return x + width / 2; }
    double maxY() const { return y + height; }
    // Half-open: the left and top edges are inside, the right and bottom edges are not.
    bool contains(Point p) const {
        return p.x >= x && p.x < x + width && p.y >= y && p.y < y + height;
    }
};

struct Screen {
    Rect frame;
    Rect visibleFrame; // less panels and docks
};

// Screens and the pointer. Main thread.
class ScreenInfo {
public:
    virtual ~ScreenInfo() = default;
    virtual std::vector<Screen> screens() const = 0; // in the window system's order
    virtual std::optional<Screen> mainScreen() const = 0;
    // Nothing when the desktop does not tell (Wayland tells no program where the pointer is).
    virtual std::optional<Point> mouseLocation() const = 0;
};

// Where the panel goes: its top-left corner at `origin` when we could work that out; else
// centred at the bottom of the screen that has keyboard focus, `bottomMargin` above the lower
// edge of its visible area, which only the desktop knows.
struct PanelPlacement {
    std::optional<Point> origin;
    double bottomMargin = 0;
};

// The floating recording panel: never takes focus, lets clicks through, floats above every
// window on every desktop. Main thread.
class PanelWindow {
public:
    virtual ~PanelWindow() = default;
    virtual void place(const PanelPlacement& placement) = 0;
    virtual void orderFrontRegardless() = 0;
    virtual void orderOut() = 0;
};

class PanelFactory {
public:
    virtual ~PanelFactory() = default;
    // A hidden panel of `size` at the origin that draws `model` and redraws on its changes.
    virtual std::unique_ptr<PanelWindow> makePanel(LevelModel& model, Size size) = 0;
};

} // namespace murmelin
