#include "platform/linux/x11/X11KeyInjector.h"
#include "platform/linux/x11/XDisplay.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <deque>
#include <utility>

namespace murmelin {
namespace {

std::string classOf(Display* display, Window window) {
    XClassHint hint{};
    if (!XGetClassHint(display, window, &hint))
        return {};
    x11::XPtr<char> name(hint.res_name);
    x11::XPtr<char> cls(hint.res_class);
    return cls ? std::string(cls.get()) : std::string();
}

// The window and its ancestors up to the root, nearest first.
std::string classAbove(Display* display, Window window) {
    while (window != None) {
        if (std::string cls = classOf(display, window); !cls.empty())
            return cls;
        Window root = None, parent = None, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display, window, &root, &parent, &children, &count))
            return {};
        x11::XPtr<Window> owned(children);
        if (parent == root)
            return {};
        window = parent;
    }
    return {};
}

// A window manager's frame holds the client window (with WM_CLASS) a level or two down.
std::string classBelow(Display* display, Window window) {
    std::deque<std::pair<Window, int>> pending{{window, 0}};
    while (!pending.empty()) {
        auto [current, depth] = pending.front();
        pending.pop_front();
        if (std::string cls = classOf(display, current); !cls.empty())
            return cls;
        Window root = None, parent = None, *children = nullptr;
        unsigned count = 0;
        if (depth >= 3 || !XQueryTree(display, current, &root, &parent, &children, &count))
            continue;
        x11::XPtr<Window> owned(children);
        for (unsigned i = 0; i < count; ++i)
            pending.emplace_back(children[i], depth + 1);
    }
    return {};
}

Window activeWindow(Display* display) {
    const Atom property = XInternAtom(display, "_NET_ACTIVE_WINDOW", True);
    if (property == None)
        return None;
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, DefaultRootWindow(display), property, 0, 1, False, XA_WINDOW,
                           &type, &format, &count, &after, &data) != Success)
        return None;
    x11::XPtr<unsigned char> owned(data);
    if (type != XA_WINDOW || format != 32 || count != 1)
        return None;
    return static_cast<Window>(*reinterpret_cast<unsigned long*>(data));
}

void key(Display* display, KeyCode code, bool down) {
    XTestFakeKeyEvent(display, code, down ? True : False, CurrentTime);
}

} // namespace

Display* X11KeyInjector::display() {
    if (!display_)
        display_ = x11::openDisplay();
    return display_.get();
}

std::string X11KeyInjector::focusedWindowClass() {
    Display* display = this->display();
    if (!display)
        return {};
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    std::string cls;
    if (focus != None && focus != PointerRoot) {
        cls = classAbove(display, focus);
        if (cls.empty())
            cls = classBelow(display, focus);
    }
    if (cls.empty()) {
        if (Window active = activeWindow(display); active != None)
            cls = classBelow(display, active);
    }
    x11::takeError(display); // windows may vanish while we look; that only means "unknown"
    return cls;
}

void X11KeyInjector::postPaste(PasteChord chord) {
    if (defer_ && defer_([this, chord] { postPaste(chord); }))
        return;
    Display* display = this->display();
    int event = 0, error = 0, major = 0, minor = 0;
    if (!display || !XTestQueryExtension(display, &event, &error, &major, &minor))
        return;
    const KeyCode v = XKeysymToKeycode(display, XK_v);
    const KeyCode control = XKeysymToKeycode(display, XK_Control_L);
    const KeyCode shift =
        chord == PasteChord::controlShiftV ? XKeysymToKeycode(display, XK_Shift_L) : 0;
    if (v == 0 || control == 0 || (chord == PasteChord::controlShiftV && shift == 0))
        return;

    const std::vector<unsigned char> held = x11::heldModifierKeys(display);
    for (unsigned char code : held)
        key(display, code, false);
    key(display, control, true);
    if (shift)
        key(display, shift, true);
    key(display, v, true);
    key(display, v, false);
    if (shift)
        key(display, shift, false);
    key(display, control, false);
    for (unsigned char code : held)
        key(display, code, true);
    x11::takeError(display);
}

} // namespace murmelin
