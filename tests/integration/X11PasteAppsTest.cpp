// A delivered dictation pasted into real X programs (xterm, urxvt, Emacs, lxterminal, a Qt
// editor) under several keyboard layouts, with and without a window manager: the controller's
// chord table, the Qt clipboard and the XTEST injector together. Each program writes what it
// receives to a file, read back byte for byte.
#include "Controller.h"
#include "DesktopSession.h"
#include "Fakes.h"
#include "QtDesktopServices.h"
#include "X11AccessibilityTrust.h"
#include "X11KeyInjector.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QGuiApplication>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

// Last: Xlib's macros (None, Bool, Status) clash with names in Qt.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>

using namespace murmelin;
using namespace murmelin::test;
using namespace std::chrono_literals;

namespace {

class X11PasteAppsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        session_ = new DesktopSession({"x11"});
        session_->apply();
        static int argc = 1;
        static char name[] = "X11PasteAppsTest";
        static char* argv[] = {name, nullptr};
        app_ = new QGuiApplication(argc, argv);
    }
    static void TearDownTestSuite() {
        delete app_;
        delete session_;
    }

    // Runs the Qt loop (the clipboard is served from it) until `done` or the timeout.
    static bool loopUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < timeout.count())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return done();
    }

    static inline DesktopSession* session_ = nullptr;
    static inline QGuiApplication* app_ = nullptr;
};

struct Program {
    std::string windowClass;
    std::vector<std::string> argv; // "%f": the file it writes what it receives to
};

TEST_F(X11PasteAppsTest, EachProgramReceivesTheTextOnceUnderEveryLayout) {
    // Terminals run cat in raw mode: a literal ^V or any other stray byte would show.
    const std::string raw = "stty raw -echo; exec cat > %f";
    const std::map<std::string, Program> programs = {
        {"xterm", {"XTerm", {"xterm", "-e", "sh", "-c", raw}}},
        {"urxvt", {"URxvt", {"urxvt", "-e", "sh", "-c", raw}}},
        {"lxterminal", {"Lxterminal", {"lxterminal", "--no-remote", "-e", "sh", "-c", raw}}},
        {"emacs",
         {"Emacs",
          {"emacs", "-Q", "--eval",
           "(progn (switch-to-buffer (get-buffer-create \"t\"))"
           " (add-hook 'after-change-functions"
           "  (lambda (&rest _) (write-region nil nil \"%f\" nil 0)) nil t)"
           " (write-region \"\" nil \"%f\" nil 0))"}}},
        {"qt", {"target_window", {session_->tool("target_window"), "%f"}}},
    };
    struct Case {
        const char* name;
        const char* program;
        const char* layout;
        int group; // locked before the paste
        bool windowManager;
    };
    const Case cases[] = {
        {"xterm, us", "xterm", "us", 0, false},
        {"xterm, ru alone", "xterm", "ru", 0, false},
        {"urxvt, us,ru with ru active", "urxvt", "us,ru", 1, false},
        {"emacs, ru alone", "emacs", "ru", 0, false},
        {"emacs, us,ru with ru active", "emacs", "us,ru", 1, false},
        {"lxterminal, us,ru with ru active", "lxterminal", "us,ru", 1, false},
        {"lxterminal, ru alone", "lxterminal", "ru", 0, false},
        {"Qt editor, us", "qt", "us", 0, false},
        {"Qt editor, ru alone", "qt", "ru", 0, false},
        {"Qt editor, us,ru with ru active", "qt", "us,ru", 1, false},
        {"xterm under openbox, us,ru with ru active", "xterm", "us,ru", 1, true},
    };

    murmelin::testing::ControllerRig rig;
    QtClipboard clipboard;
    X11KeyInjector keys;
    X11AccessibilityTrust trust;
    auto controller =
        Controller::make({rig.defaults, rig.recognizers, rig.localeInfo, trust, rig.recorder,
                          rig.hud, rig.hotKey, clipboard, keys, rig.notifier, rig.runner,
                          rig.identity, rig.settings, rig.ids, rig.queue});
    controller->start();
    std::unique_ptr<Display, int (*)(Display*)> x(XOpenDisplay(nullptr), XCloseDisplay);
    ASSERT_TRUE(x);

    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Program& program = programs.at(c.program);
        const std::string tag = std::to_string(++n);
        ASSERT_EQ(session_->run({"setxkbmap", "-layout", c.layout}).status, 0);
        pid_t wm = 0;
        if (c.windowManager) {
            wm = session_->launch("openbox", {"openbox", "--sm-disable"});
            std::this_thread::sleep_for(500ms);
        }
        const std::string file = session_->dir() + "/received-" + tag + ".txt";
        std::vector<std::string> argv = program.argv;
        for (std::string& arg : argv)
            for (auto at = arg.find("%f"); at != std::string::npos; at = arg.find("%f", at))
                arg.replace(at, 2, file);
        const pid_t pid = session_->launch(c.program + tag, argv);
        // Once it has created its file it is ready for keys.
        ASSERT_TRUE(DesktopSession::waitFor([&] { return std::filesystem::exists(file); }, 15s))
            << c.program << " did not start";
        // Keys follow the pointer when no window manager sets the focus.
        const std::string window =
            session_->run({"xdotool", "search", "--onlyvisible", "--class", program.windowClass})
                .out;
        session_->run(
            {"xdotool", "mousemove", "--window", window.substr(0, window.find('\n')), "40", "40"});
        XkbLockGroup(x.get(), XkbUseCoreKbd, c.group);
        XSync(x.get(), False);
        std::this_thread::sleep_for(300ms);
        // Someone else owns both selections, later than anything this process saw.
        session_->run({"sh", "-c",
                       "printf stale | xclip -selection primary -i;"
                       "printf stale | xclip -selection clipboard -i"});
        loopUntil([] { return false; }, 200ms); // the program's loop sees the new owners
        const std::string keymap = session_->run({"xmodmap", "-pk"}).out;

        rig.notifier.posted.clear();
        const std::string text = "Dictated text " + tag + ", with punctuation!";
        rig.hotKey.press();
        rig.hotKey.release();
        rig.recorder->complete(text);
        advance(rig.queue, rig.clock, kPasteDelaySeconds);
        auto received = [&] { return readFile(file).value_or(""); };
        loopUntil([&] { return received() == text; }, 5s);
        loopUntil([] { return false; }, 300ms); // a second paste would have arrived by now
        EXPECT_EQ(received(), text);
        EXPECT_TRUE(rig.notifier.posted.empty());
        advance(rig.queue, rig.clock, PasteQueue::kSettleSeconds); // the next text may go out

        // The keyboard is as it was: the group, and no key code left bound.
        XkbStateRec state{};
        XkbGetState(x.get(), XkbUseCoreKbd, &state);
        EXPECT_EQ(state.locked_group, c.group);
        EXPECT_EQ(session_->run({"xmodmap", "-pk"}).out, keymap);

        ::kill(pid, SIGTERM);
        if (wm)
            ::kill(wm, SIGTERM);
        std::this_thread::sleep_for(300ms);
    }
}

} // namespace
