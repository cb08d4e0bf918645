#include "X11AccessibilityTrust.h"
#include "XDisplay.h"

#include <X11/extensions/XTest.h>

namespace murmelin {

bool X11AccessibilityTrust::isTrusted() {
    if (!display_)
        display_ = x11::openDisplay();
    int event = 0, error = 0, major = 0, minor = 0;
    return display_ && XTestQueryExtension(display_.get(), &event, &error, &major, &minor);
}

} // namespace murmelin
