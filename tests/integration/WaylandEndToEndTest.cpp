// The whole road of a dictation on a wlroots desktop (headless sway): the hot key is a sway
// binding that runs `murmelin press` / `murmelin release` (or `toggle`), the text arrives in
// native Wayland applications through the program's own virtual keyboard, and the clipboard
// is readable by any client afterwards.
#include <QCoreApplication>

#include "TrayWatcher.h"

#include "EndToEnd.h" // last: it brings Xlib's macros

#include <gtest/gtest.h>

using namespace murmelin::test;

namespace {

const std::string kProgram = std::string(MURMELIN_BINARY_DIR) + "/platform/qt/murmelin";

class WaylandEndToEndTest : public EndToEndFixture {
public:
    static void SetUpTestSuite() {
        session_ = new DesktopSession({"sway", "notify", "pulse"});
        // The lines the README gives a sway user (the bindings run as sway's own user).
        for (const std::string& binding :
             {"bindsym --no-repeat Ctrl+Alt+space exec " + kProgram + " press",
              "bindsym --release Ctrl+Alt+space exec " + kProgram + " release",
              "bindsym --no-repeat Mod4+d exec " + kProgram + " toggle"})
            ASSERT_EQ(session_->run({"swaymsg", binding}).status, 0) << binding;
    }

    // Starts `argv` (which writes what it shows to `file`) and waits until it has the focus.
    std::string launchTarget(const std::string& appId, std::vector<std::string> argv,
                             const std::string& file) {
        // One window at a time: sway tiles them, and a dark terminal where the panel stands
        // would look like the panel.
        if (target_ > 0)
            ::kill(target_, SIGTERM);
        target_ = session_->launch(appId, argv);
        EXPECT_TRUE(DesktopSession::waitFor(
            [&] { return session_->focusedAppId() == appId && readFile(file); }, 10s))
            << appId << " did not get the focus: " << session_->focusedAppId();
        return file;
    }

private:
    pid_t target_ = 0;
};

TEST_F(WaylandEndToEndTest, DictationIntoQtFootAndGtkThroughTheSwayBindings) {
    program_->start();
    ASSERT_TRUE(program_->running()) << program_->log();
    struct Case {
        std::string appId, chord;
        std::vector<std::string> argv; // with the output file last
    };
    const std::string dir = session_->dir();
    const Case cases[] = {
        {"target_window", "ctrl+v", {session_->tool("target_window"), dir + "/qt.txt"}},
        {"foot",
         "ctrl+shift+v",
         {"foot", "-a", "foot", "--", "sh", "-c", "stty -icanon -echo; : > $0; exec cat > $0",
          dir + "/foot.txt"}},
        {"gtk_target",
         "ctrl+v",
         {std::string(MURMELIN_SOURCE_DIR) + "/tests/integration/tools/gtk_target.py",
          dir + "/gtk.txt"}},
    };
    size_t dictations = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.appId);
        const std::string file = launchTarget(c.appId, c.argv, c.argv.back());
        const Seen seen =
            program_->dictate(session_->speak("hello new line world"), "wayland-" + c.appId);
        expectDelivered([&] { return readFile(file).value_or(""); }, "", seen, ++dictations);
        EXPECT_EQ(program_->events("paste").back().value("chord", ""), c.chord);
    }
}

TEST_F(WaylandEndToEndTest, ToggleStartsAndEndsADictationAndAnyLayoutPastes) {
    // A layout without a Latin v: the program's own keymap still types its chord.
    ASSERT_EQ(session_->run({"swaymsg", "input type:keyboard xkb_layout ru"}).status, 0);
    program_->start();
    const std::string file = launchTarget(
        "target_window", {session_->tool("target_window"), session_->dir() + "/toggle.txt"},
        session_->dir() + "/toggle.txt");
    const auto tap = [&] { session_->run({"wtype", "-M", "logo", "-k", "d", "-m", "logo"}); };
    program_->useKeys(tap, tap); // Super+D runs `murmelin toggle`
    const Seen seen = program_->dictate(session_->speak("hello new line world"), "toggle");
    expectDelivered([&] { return readFile(file).value_or(""); }, "", seen, 1);
    session_->run({"swaymsg", "input type:keyboard xkb_layout us"});
}

// Where a bar hosts StatusNotifierItems the icon and its menu are there, saying what works.
TEST_F(WaylandEndToEndTest, TheIconAndItsMenuAppearInABarsTray) {
    static int argc = 1;
    static char name[] = "WaylandEndToEndTest";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    TrayWatcher watcher(session_->env("DBUS_SESSION_BUS_ADDRESS").value());
    ASSERT_TRUE(watcher.registered());
    program_->start();
    ASSERT_TRUE(DesktopSession::waitFor([&] { return !watcher.items().empty(); }, 10s))
        << program_->log();
    const std::string item = watcher.items().front();
    EXPECT_NE(trayItemProperty(*session_, item, "Status").find("\"Active\""), std::string::npos);
    const std::string layout = trayMenuLayout(*session_, item);
    EXPECT_NE(layout.find("Hold Ctrl+Alt+Space to dictate"), std::string::npos) << layout;
    EXPECT_EQ(program_->log().find("no system tray available"), std::string::npos)
        << "the tray is there: nothing to say";
}

} // namespace
