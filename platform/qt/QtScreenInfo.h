#pragma once

#include "ports/Screens.h"

namespace murmelin {

// Screens and pointer as Qt sees them, in Qt's global (device-independent) coordinates.
// Main thread; needs a QGuiApplication.
class QtScreenInfo final : public ScreenInfo {
public:
    std::vector<Screen> screens() const override;
    // The primary screen.
    std::optional<Screen> mainScreen() const override;
    std::optional<Point> mouseLocation() const override;
};

} // namespace murmelin
