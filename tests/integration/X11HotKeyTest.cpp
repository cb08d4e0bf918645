// The X11 hot key against a private Xvfb: keys are pressed through XTEST on a second
// connection, and the events travel through HotKey on a real main queue.
#include <gtest/gtest.h>

#include "HotKey.h"
#include "X11HotKeySource.h"
#include "XKeys.h"
#include "XvfbServer.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace murmelin {
namespace {

using testing::ScopedEnv;
using testing::XvfbServer;

struct Step {
    KeySym key;
    bool down;
    double holdSeconds = 0.02;
};

class X11HotKeyTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = new XvfbServer(); }
    static void TearDownTestSuite() { delete server_; }

    void SetUp() override {
        ASSERT_FALSE(server_->display().empty()) << "Xvfb did not start";
        display_.emplace("DISPLAY", server_->display().c_str());
        driver_.reset(XOpenDisplay(nullptr));
        ASSERT_TRUE(driver_);
        keys_.emplace(server_->display());
        hotKey_.setOnPress([this] { calls_.push_back("press"); });
        hotKey_.setOnRelease([this] { calls_.push_back("release"); });
        hotKey_.setOnRegistration(
            [this](const ShortcutBinding& b) { outcomes_.push_back(b.outcome); });
    }

    void TearDown() override {
        if (driver_) { // leave no key and no lock on for the next test
            keys_->releaseAll();
            for (KeySym lock : {XK_Caps_Lock, XK_Num_Lock})
                if (lockOn(lock))
                    play({{lock, true}, {lock, false}});
        }
    }

    void play(const std::vector<Step>& steps) {
        for (const Step& s : steps) {
            keys_->press(s.key, s.down);
            std::this_thread::sleep_for(std::chrono::duration<double>(s.holdSeconds));
        }
    }

    bool lockOn(KeySym lock) {
        Window root, child;
        int x, y, wx, wy;
        unsigned mask = 0;
        XQueryPointer(driver_.get(), DefaultRootWindow(driver_.get()), &root, &child, &x, &y, &wx,
                      &wy, &mask);
        return mask & (lock == XK_Caps_Lock ? LockMask : Mod2Mask);
    }

    // Runs the main queue until `count` callbacks arrived, then a little longer for strays.
    void settle(std::size_t count) {
        main_.runUntil([&] { return calls_.size() >= count; }, 3.0);
        main_.runUntil([] { return false; }, 0.3);
    }

    static inline XvfbServer* server_ = nullptr;
    std::optional<ScopedEnv> display_;
    std::unique_ptr<Display, int (*)(Display*)> driver_{nullptr, XCloseDisplay};
    std::optional<test::XKeys> keys_; // presses keys; driver_ reads and changes the keyboard
    SteadyClock clock_;
    MainQueue main_{clock_};
    X11HotKeySource x11_;
    HotKey hotKey_{x11_, main_};
    std::vector<std::string> calls_;
    std::vector<HotKeyRegistration> outcomes_;
};

// Control+Alt+Space pressed, Space held `hold` seconds, then all let go in reverse order.
std::vector<Step> hotKey(double hold = 0.02, KeySym control = XK_Control_L) {
    return {{control, true},   {XK_Alt_L, true},  {XK_space, true, hold},
            {XK_space, false}, {XK_Alt_L, false}, {control, false}};
}

struct Case {
    const char* name;
    std::vector<KeySym> locks;
    std::vector<Step> steps;
    std::vector<std::string> calls;
};

TEST_F(X11HotKeyTest, PressAndReleaseArriveOnceEach) {
    const std::vector<std::string> once = {"press", "release"};
    const Case cases[] = {
        {"held through auto-repeat", {}, hotKey(1.2), once},
        {"Caps Lock on, held", {XK_Caps_Lock}, hotKey(1.2), once},
        {"Num Lock on", {XK_Num_Lock}, hotKey(), once},
        {"Caps and Num Lock on", {XK_Caps_Lock, XK_Num_Lock}, hotKey(0.02, XK_Control_R), once},
        {"modifiers let go before Space",
         {},
         {{XK_Control_L, true},
          {XK_Alt_L, true},
          {XK_space, true, 0.3},
          {XK_Control_L, false},
          {XK_Alt_L, false, 0.3},
          {XK_space, false}},
         once},
        {"Space alone", {}, {{XK_space, true}, {XK_space, false}}, {}},
        {"Control+Space",
         {},
         {{XK_Control_L, true}, {XK_space, true}, {XK_space, false}, {XK_Control_L, false}},
         {}},
        {"Control+Alt+Shift+Space",
         {},
         {{XK_Control_L, true},
          {XK_Alt_L, true},
          {XK_Shift_L, true},
          {XK_space, true},
          {XK_space, false},
          {XK_Shift_L, false},
          {XK_Alt_L, false},
          {XK_Control_L, false}},
         {}},
    };
    hotKey_.registerKey();
    std::size_t seen = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (KeySym lock : c.locks) {
            play({{lock, true}, {lock, false}});
            ASSERT_TRUE(lockOn(lock));
        }
        play(c.steps);
        settle(seen + c.calls.size());
        ASSERT_GE(calls_.size(), seen);
        EXPECT_EQ(std::vector<std::string>(calls_.begin() + seen, calls_.end()), c.calls);
        seen = calls_.size();
        for (KeySym lock : c.locks)
            play({{lock, true}, {lock, false}});
    }
}

TEST_F(X11HotKeyTest, KeymapChangeWhileHeldKeepsTheKey) {
    hotKey_.registerKey();
    // Tools such as xdotool remap a spare key code on the fly; every client then regrabs.
    int low = 0, high = 0;
    XDisplayKeycodes(driver_.get(), &low, &high);
    KeySym symbol = XK_F24;
    play({{XK_Control_L, true}, {XK_Alt_L, true}, {XK_space, true}});
    XChangeKeyboardMapping(driver_.get(), high, 1, &symbol, 1);
    XSync(driver_.get(), False);
    play({{XK_space, false, 0.2}, {XK_Alt_L, false}, {XK_Control_L, false}});
    play(hotKey());
    settle(4);
    EXPECT_EQ(calls_, (std::vector<std::string>{"press", "release", "press", "release"}));
}

TEST_F(X11HotKeyTest, CombinationTakenByAnotherProgramIsReportedAndRetried) {
    Display* other = driver_.get();
    const KeyCode space = XKeysymToKeycode(other, XK_space);
    XGrabKey(other, space, ControlMask | Mod1Mask, DefaultRootWindow(other), False, GrabModeAsync,
             GrabModeAsync);
    XSync(other, False);
    const std::vector<Step> dictation = hotKey();

    ::testing::internal::CaptureStderr();
    hotKey_.registerKey();
    hotKey_.retryRegistration(); // still taken: not said twice
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "murmelin: Control+Alt+Space is taken by another program\n");
    main_.runUntil([&] { return outcomes_.size() >= 2; }, 3.0);
    EXPECT_EQ(outcomes_, (std::vector<HotKeyRegistration>{HotKeyRegistration::taken,
                                                          HotKeyRegistration::taken}));

    // The other program keeps its key; ours stays quiet and the process runs on.
    play(dictation);
    settle(0);
    EXPECT_TRUE(calls_.empty());

    // Once the other program lets go, the next try binds the key and it works.
    XUngrabKey(other, space, AnyModifier, DefaultRootWindow(other));
    XSync(other, False);
    hotKey_.retryRegistration();
    main_.runUntil([&] { return outcomes_.size() >= 3; }, 3.0);
    ASSERT_EQ(outcomes_.size(), 3u);
    EXPECT_EQ(outcomes_.back(), HotKeyRegistration::bound);
    play(dictation);
    settle(2);
    EXPECT_EQ(calls_, (std::vector<std::string>{"press", "release"}));
}

TEST_F(X11HotKeyTest, WithoutDisplayNothingIsRegistered) {
    ScopedEnv noDisplay("DISPLAY", nullptr);
    X11HotKeySource source;
    ::testing::internal::CaptureStderr();
    std::optional<ShortcutBinding> answer;
    source.bind(
        HotKey::shortcut(), [](ShortcutEdge) {}, [&](ShortcutBinding b) { answer = b; });
    ASSERT_TRUE(answer) << "X answers at once";
    EXPECT_EQ(answer->outcome, HotKeyRegistration::unavailable);
    EXPECT_EQ(answer->trigger, "Ctrl+Alt+Space");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "murmelin: no X display; Control+Alt+Space is not available as a hot key\n");
}

} // namespace
} // namespace murmelin
