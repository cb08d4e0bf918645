#include "X11KeyInjector.h"
#include "XDisplay.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

namespace murmelin {
namespace {

// How long a key code bound for one chord stays bound. Clients read the changed keyboard map
// when they get to the key event, possibly after it was sent: freeing the key code at once
// would leave them translating the chord with the old map, in which the key types nothing.
constexpr auto kBoundKeyHold = std::chrono::milliseconds(250);

WindowClass classOf(Display* display, Window window) {
    XClassHint hint{};
    if (!XGetClassHint(display, window, &hint))
        return {};
    x11::XPtr<char> name(hint.res_name);
    x11::XPtr<char> cls(hint.res_class);
    return {name ? std::string(name.get()) : std::string(),
            cls ? std::string(cls.get()) : std::string()};
}

bool known(const WindowClass& c) {
    return !c.instance.empty() || !c.className.empty();
}

// The window and its ancestors up to the root, nearest first.
WindowClass classAbove(Display* display, Window window) {
    while (window != None) {
        if (WindowClass cls = classOf(display, window); known(cls))
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
WindowClass classBelow(Display* display, Window window) {
    std::deque<std::pair<Window, int>> pending{{window, 0}};
    while (!pending.empty()) {
        auto [current, depth] = pending.front();
        pending.pop_front();
        if (WindowClass cls = classOf(display, current); known(cls))
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

// The top-level window (or its frame) under the pointer, None if only the root is there.
Window windowUnderPointer(Display* display) {
    Window root = None, child = None;
    int rootX = 0, rootY = 0, x = 0, y = 0;
    unsigned mask = 0;
    if (!XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &x, &y,
                       &mask))
        return None;
    return child;
}

void key(Display* display, KeyCode code, bool down) {
    XTestFakeKeyEvent(display, code, down ? True : False, CurrentTime);
}

struct KeyboardFreer {
    void operator()(XkbDescPtr xkb) const { XkbFreeKeyboard(xkb, 0, True); }
};

// Where a keysym can be typed: its key code, and the layout group to lock for it (if the
// active one lacks it) or whether the key code is a spare one to bind for the chord.
struct KeyRoute {
    KeyCode code = 0;
    std::optional<int> lockGroup;
    bool bindSpare = false;
};

class Keyboard {
public:
    explicit Keyboard(Display* display)
        : xkb_(XkbGetMap(display, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd)) {
        if (!xkb_ || XkbGetState(display, XkbUseCoreKbd, &state_) != Success)
            xkb_.reset();
        char down[32] = {};
        XQueryKeymap(display, down);
        for (int i = 0; i < 256; ++i)
            down_[i] = down[i / 8] & (1 << (i % 8));
    }

    const XkbStateRec& state() const { return state_; }

    // Nothing if the keyboard has no group with the keysym and no spare key code.
    std::optional<KeyRoute> route(KeySym sym) const {
        if (!xkb_)
            return std::nullopt;
        if (KeyCode code = find(sym, state_.group))
            return KeyRoute{code, std::nullopt, false};
        for (int group = 0; group < groups(); ++group) {
            if (KeyCode code = find(sym, group))
                return KeyRoute{code, group, false};
        }
        // Spare key codes from the top, where no physical keyboard has keys.
        for (int code = xkb_->max_key_code; code >= xkb_->min_key_code; --code) {
            if (XkbKeyNumGroups(xkb_.get(), code) == 0 && !down_[code])
                return KeyRoute{static_cast<KeyCode>(code), std::nullopt, true};
        }
        return std::nullopt;
    }

private:
    int groups() const {
        int most = 0;
        for (int code = xkb_->min_key_code; code <= xkb_->max_key_code; ++code)
            most = std::max<int>(most, XkbKeyNumGroups(xkb_.get(), code));
        return most;
    }

    // The key code whose first level in effective `group` is `sym`, 0 if none. A key with
    // fewer groups maps `group` into its range as the key's type says (usually wrapping).
    KeyCode find(KeySym sym, int group) const {
        for (int code = xkb_->min_key_code; code <= xkb_->max_key_code; ++code) {
            const int count = XkbKeyNumGroups(xkb_.get(), code);
            if (count == 0)
                continue;
            int g = group;
            if (g >= count) {
                const unsigned char info = XkbKeyGroupInfo(xkb_.get(), code);
                switch (XkbOutOfRangeGroupAction(info)) {
                case XkbClampIntoRange:
                    g = count - 1;
                    break;
                case XkbRedirectIntoRange:
                    g = XkbOutOfRangeGroupNumber(info);
                    if (g >= count)
                        g = 0;
                    break;
                default:
                    g = g % count;
                }
            }
            if (XkbKeySymEntry(xkb_.get(), code, 0, g) == sym)
                return static_cast<KeyCode>(code);
        }
        return 0;
    }

    std::unique_ptr<XkbDescRec, KeyboardFreer> xkb_;
    XkbStateRec state_{};
    bool down_[256] = {};
};

} // namespace

Display* X11KeyInjector::display() {
    if (!display_)
        display_ = x11::openDisplay();
    return display_.get();
}

WindowClass X11KeyInjector::focusedWindowClass() {
    Display* display = this->display();
    if (!display)
        return {};
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    WindowClass cls;
    if (focus == PointerRoot || focus == DefaultRootWindow(display)) {
        // Keys go to the window under the pointer (focus follows the pointer without a
        // window manager).
        if (Window under = windowUnderPointer(display); under != None)
            cls = classBelow(display, under);
    } else if (focus != None) {
        cls = classAbove(display, focus);
        if (!known(cls))
            cls = classBelow(display, focus);
    }
    if (!known(cls)) {
        if (Window active = activeWindow(display); active != None)
            cls = classBelow(display, active);
    }
    x11::takeError(display); // windows may vanish while we look; that only means "unknown"
    return cls;
}

bool X11KeyInjector::postPaste(PasteChord chord) {
    Display* display = this->display();
    int event = 0, error = 0, major = 0, minor = 0;
    if (!display || !XTestQueryExtension(display, &event, &error, &major, &minor))
        return false;
    const bool insert = chord == PasteChord::shiftInsert;
    const KeySym sym = insert ? XK_Insert : XK_v;
    const Keyboard keyboard(display);
    const std::optional<KeyRoute> route = keyboard.route(sym);
    const KeyCode control = XKeysymToKeycode(display, XK_Control_L);
    const KeyCode shift = XKeysymToKeycode(display, XK_Shift_L);
    if (!route || control == 0 || shift == 0)
        return false;
    if (defer_ && defer_([this, chord] { postPaste(chord); }))
        return true;

    const bool withControl = chord != PasteChord::shiftInsert;
    const bool withShift = chord != PasteChord::controlV;
    const std::vector<unsigned char> held = x11::heldModifierKeys(display);
    for (unsigned char code : held)
        key(display, code, false);
    if (route->bindSpare) {
        const KeySym shifted = insert ? XK_Insert : XK_V;
        KeySym syms[2] = {sym, shifted};
        XChangeKeyboardMapping(display, route->code, 2, syms, 1);
    }
    const XkbStateRec& state = keyboard.state();
    if (route->lockGroup)
        XkbLockGroup(display, XkbUseCoreKbd,
                     (*route->lockGroup - state.base_group - state.latched_group + 4) % 4);
    if (withControl)
        key(display, control, true);
    if (withShift)
        key(display, shift, true);
    key(display, route->code, true);
    key(display, route->code, false);
    if (withShift)
        key(display, shift, false);
    if (withControl)
        key(display, control, false);
    if (route->lockGroup)
        XkbLockGroup(display, XkbUseCoreKbd, state.locked_group);
    for (unsigned char code : held)
        key(display, code, true);
    if (route->bindSpare) {
        XSync(display, False);
        std::this_thread::sleep_for(kBoundKeyHold);
        KeySym none = NoSymbol;
        XChangeKeyboardMapping(display, route->code, 1, &none, 1);
    }
    x11::takeError(display);
    return true;
}

} // namespace murmelin
