// The XTEST paste, the focused-window lookup and the trust check against a private Xvfb,
// with a window of the test's own as the paste target that logs every key it receives.
#include <gtest/gtest.h>

#include "X11AccessibilityTrust.h"
#include "X11KeyInjector.h"
#include "XKeys.h"
#include "XvfbServer.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace murmelin {
namespace {

using testing::ScopedEnv;
using testing::XvfbServer;

constexpr const char* kTargetClass = "MurmelinPasteTarget";

class X11PasteTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = new XvfbServer(); }
    static void TearDownTestSuite() { delete server_; }

    void SetUp() override {
        ASSERT_FALSE(server_->display().empty()) << "Xvfb did not start";
        env_.emplace("DISPLAY", server_->display().c_str());
        x_.reset(XOpenDisplay(nullptr));
        keys_.emplace(server_->display());
        ASSERT_TRUE(x_);
        root_ = DefaultRootWindow(x_.get());
        target_ = makeWindow(root_, kTargetClass);
        XSelectInput(x_.get(), target_, KeyPressMask | KeyReleaseMask);
        focus(target_);
    }

    void TearDown() override {
        if (x_)
            XDestroyWindow(x_.get(), target_);
    }

    Window makeWindow(Window parent, const char* cls) {
        Window w = XCreateSimpleWindow(x_.get(), parent, 0, 0, 200, 100, 0, 0, 0);
        if (cls) {
            XClassHint hint{const_cast<char*>("paste-target"), const_cast<char*>(cls)};
            XSetClassHint(x_.get(), w, &hint);
        }
        XMapWindow(x_.get(), w);
        XSync(x_.get(), False);
        return w;
    }

    void focus(Window w) {
        XSetInputFocus(x_.get(), w, RevertToPointerRoot, CurrentTime);
        XSync(x_.get(), False);
    }

    KeyCode code(KeySym sym) { return XKeysymToKeycode(x_.get(), sym); }

    void fake(KeySym sym, bool down) { keys_->press(sym, down); }
    int keysDown() { return static_cast<int>(keys_->held().size()); }

    // The key events the target window received until `until` came up (or `wait` passed).
    std::vector<XKeyEvent> received(std::chrono::milliseconds wait = std::chrono::seconds(1),
                                    KeySym until = XK_v) {
        std::vector<XKeyEvent> events;
        const auto deadline = std::chrono::steady_clock::now() + wait;
        bool vReleased = false;
        while (std::chrono::steady_clock::now() < deadline) {
            XSync(x_.get(), False);
            while (XPending(x_.get())) {
                XEvent e;
                XNextEvent(x_.get(), &e);
                if (e.type == KeyPress || e.type == KeyRelease) {
                    events.push_back(e.xkey);
                    vReleased |= e.type == KeyRelease && e.xkey.keycode == code(until);
                }
            }
            if (vReleased)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return events;
    }

    static inline XvfbServer* server_ = nullptr;
    std::optional<ScopedEnv> env_;
    std::unique_ptr<Display, int (*)(Display*)> x_{nullptr, XCloseDisplay};
    std::optional<test::XKeys> keys_;
    Window root_ = 0, target_ = 0;
    X11KeyInjector injector_;
};

TEST_F(X11PasteTest, PasteCarriesOnlyTheChordsModifiersAndRestoresHeldKeys) {
    struct Case {
        const char* name;
        std::vector<KeySym> held;
        bool capsLock;
        PasteChord chord;
        unsigned state;
    };
    const Case cases[] = {
        {"nothing held", {}, false, PasteChord::controlV, ControlMask},
        {"hot key still held", {XK_Control_L, XK_Alt_L}, false, PasteChord::controlV, ControlMask},
        {"Shift and Super held",
         {XK_Shift_R, XK_Super_L},
         false,
         PasteChord::controlV,
         ControlMask},
        {"Caps Lock stays on",
         {XK_Control_R, XK_Alt_L},
         true,
         PasteChord::controlV,
         ControlMask | LockMask},
        {"Shift+Insert", {XK_Control_L, XK_Alt_L}, false, PasteChord::shiftInsert, ShiftMask},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const KeySym key = c.chord == PasteChord::shiftInsert ? XK_Insert : XK_v;
        const KeyCode v = code(key);
        if (c.capsLock) {
            fake(XK_Caps_Lock, true);
            fake(XK_Caps_Lock, false);
        }
        for (KeySym sym : c.held)
            fake(sym, true);
        received(std::chrono::milliseconds(50)); // drop what the held keys produced

        EXPECT_TRUE(injector_.postPaste(c.chord));
        int vPresses = 0, vReleases = 0;
        for (const XKeyEvent& e : received(std::chrono::seconds(1), key)) {
            if (e.keycode != v)
                continue;
            ++(e.type == KeyPress ? vPresses : vReleases);
            if (e.type == KeyPress) {
                EXPECT_EQ(e.state, c.state);
                EXPECT_EQ(XkbKeycodeToKeysym(x_.get(), v, XkbGroupForCoreState(e.state), 0), key);
            }
        }
        EXPECT_EQ(vPresses, 1);
        EXPECT_EQ(vReleases, 1);

        // The user's keys are down again, exactly those, and nothing else is stuck.
        std::vector<int> held;
        for (KeySym sym : c.held)
            held.push_back(code(sym));
        std::sort(held.begin(), held.end());
        EXPECT_EQ(keys_->held(), held);
        for (KeySym sym : c.held)
            fake(sym, false);
        EXPECT_EQ(keysDown(), 0);
        if (c.capsLock) {
            fake(XK_Caps_Lock, true);
            fake(XK_Caps_Lock, false);
        }
    }
}

TEST_F(X11PasteTest, AKeyboardThatCannotTypeVSendsNothingAndSaysSo) {
    ASSERT_EQ(std::system("setxkbmap -layout ru"), 0); // no group with a Latin v
    // Every key code gets a symbol, so none is spare to bind v to for the chord.
    XkbDescPtr xkb = XkbGetMap(x_.get(), XkbKeySymsMask, XkbUseCoreKbd);
    ASSERT_TRUE(xkb);
    KeySym filler = XK_F35;
    for (int c = xkb->min_key_code; c <= xkb->max_key_code; ++c) {
        if (XkbKeyNumGroups(xkb, c) == 0)
            XChangeKeyboardMapping(x_.get(), c, 1, &filler, 1);
    }
    XkbFreeKeyboard(xkb, 0, True);
    XSync(x_.get(), False);
    received(std::chrono::milliseconds(100));

    EXPECT_FALSE(injector_.postPaste(PasteChord::controlV));
    EXPECT_FALSE(injector_.postPaste(PasteChord::controlShiftV));
    EXPECT_TRUE(received(std::chrono::milliseconds(200)).empty());
    // Insert is on every layout: that chord still goes out.
    EXPECT_TRUE(injector_.postPaste(PasteChord::shiftInsert));
    int inserts = 0;
    for (const XKeyEvent& e : received(std::chrono::milliseconds(200)))
        inserts += e.type == KeyPress && e.keycode == code(XK_Insert) && e.state == ShiftMask;
    EXPECT_EQ(inserts, 1);
    EXPECT_EQ(keysDown(), 0);
    ASSERT_EQ(std::system("setxkbmap -layout us"), 0);
}

TEST_F(X11PasteTest, FocusedWindowClassFindsTheTopLevel) {
    auto cls = [&] { return injector_.focusedWindowClass().className; };
    EXPECT_EQ(injector_.focusedWindowClass().instance, "paste-target");
    EXPECT_EQ(cls(), kTargetClass);

    const Window inner = makeWindow(target_, nullptr); // a widget inside the application
    focus(inner);
    EXPECT_EQ(cls(), kTargetClass);

    const Window frame = makeWindow(root_, nullptr); // a window manager's frame
    makeWindow(frame, "FramedClient");
    focus(frame);
    EXPECT_EQ(cls(), "FramedClient");

    // No window manager: focus follows the pointer, and the window under it takes the keys.
    XMoveWindow(x_.get(), frame, 400, 400);
    for (Window pointerRoot : {Window(PointerRoot), root_}) {
        focus(pointerRoot);
        XWarpPointer(x_.get(), None, root_, 0, 0, 0, 0, 450, 450);
        XSync(x_.get(), False);
        EXPECT_EQ(cls(), "FramedClient");
        XWarpPointer(x_.get(), None, root_, 0, 0, 0, 0, 50, 50);
        XSync(x_.get(), False);
        EXPECT_EQ(cls(), kTargetClass);
    }
    // Over the bare root, the window manager's idea of the active one, if any.
    XWarpPointer(x_.get(), None, root_, 0, 0, 0, 0, 1000, 1000);
    XSync(x_.get(), False);
    EXPECT_EQ(cls(), "");
    const Atom active = XInternAtom(x_.get(), "_NET_ACTIVE_WINDOW", False);
    XChangeProperty(x_.get(), root_, active, XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&target_), 1);
    XSync(x_.get(), False);
    EXPECT_EQ(cls(), kTargetClass);
    XDeleteProperty(x_.get(), root_, active);

    // A focused window that vanished is an unknown class, not a crash.
    focus(inner);
    XDestroyWindow(x_.get(), frame);
    XDestroyWindow(x_.get(), inner);
    XSync(x_.get(), False);
    EXPECT_EQ(cls(), "");
}

TEST_F(X11PasteTest, TrustFollowsXTestAvailability) {
    EXPECT_TRUE(X11AccessibilityTrust().isTrusted());
    {
        ScopedEnv noDisplay("DISPLAY", nullptr);
        X11AccessibilityTrust trust;
        EXPECT_FALSE(trust.isTrusted());
        std::optional<bool> answer;
        trust.requestTrust([&](bool trusted) { answer = trusted; });
        EXPECT_EQ(answer, false);
        X11KeyInjector injector; // and nothing to paste into: silently nothing
        EXPECT_FALSE(injector.postPaste(PasteChord::controlV));
        EXPECT_EQ(injector.focusedWindowClass().className, "");
    }
    XvfbServer withoutXTest({"-extension", "XTEST"});
    ASSERT_FALSE(withoutXTest.display().empty());
    ScopedEnv other("DISPLAY", withoutXTest.display().c_str());
    X11AccessibilityTrust trust;
    EXPECT_FALSE(trust.isTrusted());
}

} // namespace
} // namespace murmelin
