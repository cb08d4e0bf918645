#pragma once

#include "XConnection.h"
#include "ports/Desktop.h"

namespace murmelin {

// On X11 any client may send synthetic keys once the server offers XTEST; there is no grant
// to ask for. Without an X display (a Wayland-only session) the answer is false.
class X11AccessibilityTrust final : public AccessibilityTrust {
public:
    // Main thread. Samples afresh on each call.
    bool isTrusted() override;
    // X11 has no consent dialog: answers isTrusted() at once.
    void requestTrust(std::function<void(bool)> answered) override { answered(isTrusted()); }
    // Nothing changes trust behind our back on X11.
    void setOnChange(std::function<void(bool)>) override {}

private:
    x11::DisplayPtr display_;
};

} // namespace murmelin
