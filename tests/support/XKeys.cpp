#include "XKeys.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace murmelin::test {

XKeys::XKeys(const std::string& display)
    : display_(XOpenDisplay(display.empty() ? nullptr : display.c_str())) {}

XKeys::~XKeys() {
    if (display_)
        XCloseDisplay(display_);
}

bool XKeys::press(const std::string& keysym, bool down) const {
    const KeySym sym = XStringToKeysym(keysym.c_str());
    return sym != NoSymbol && press(sym, down);
}

bool XKeys::press(unsigned long keysym, bool down) const {
    const KeyCode code = display_ ? XKeysymToKeycode(display_, keysym) : 0;
    if (code == 0 || !XTestFakeKeyEvent(display_, code, down ? True : False, CurrentTime))
        return false;
    XSync(display_, False);
    return true;
}

std::vector<int> XKeys::held() const {
    if (!display_)
        return {-1};
    char keys[32];
    XQueryKeymap(display_, keys);
    std::vector<int> down;
    for (int code = 8; code < 256; ++code)
        if (keys[code / 8] & (1 << (code % 8)))
            down.push_back(code);
    return down;
}

void XKeys::releaseAll() const {
    for (int code : held())
        if (code > 0)
            XTestFakeKeyEvent(display_, static_cast<unsigned>(code), False, CurrentTime);
    if (display_)
        XSync(display_, False);
}

} // namespace murmelin::test
