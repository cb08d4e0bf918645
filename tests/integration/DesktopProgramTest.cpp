// The desktop program as a person sees it, on a private two-monitor X session with a window
// manager, a compositor and a tray: the tray icon and its menu from the real program, and
// the recording panel driven in this process. Screenshots go to <build>/artifacts/.
#include "DBusNotifier.h"
#include "HUD.h"
#include "QtPanel.h"
#include "QtScreenInfo.h"

#include <QApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QImage>
#include <QMouseEvent>
#include <QScreen>
#include <QWidget>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

// Last: it brings Xlib, whose macros (None, Status) clash with names in Qt.
#include "EndToEnd.h"

using namespace murmelin;
using namespace murmelin::test;

namespace {

void pumpFor(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// Counts pixels of row `y` between x0 and x1 (exclusive) that match `wanted`.
int countRow(const QImage& image, int y, int x0, int x1,
             const std::function<bool(QColor)>& wanted) {
    int n = 0;
    for (int x = x0; x < x1; ++x)
        n += wanted(image.pixelColor(x, y)) ? 1 : 0;
    return n;
}

const std::string kProgram = std::string(MURMELIN_BINARY_DIR) + "/platform/qt/murmelin";

// Starts murmelin with a sound server that refuses at once, so that every press that reaches
// the program is answered by a "Cannot connect to the sound server" error.
pid_t launchWithoutSound(const DesktopSession& s, const std::string& name) {
    return s.launch(name, {"env", "PULSE_SERVER=unix:/nonexistent/murmelin", kProgram});
}

std::string programLog(const DesktopSession& s, const std::string& name) {
    return test::readFile(s.dir() + "/logs/" + name + ".log").value_or("");
}

// Control+Alt+Space held for `holdMs`, shorter than the server's 660 ms auto-repeat delay.
void tapHotKey(const DesktopSession& s, int holdMs) {
    s.pressHotKey();
    std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
    s.releaseHotKey();
}

size_t countBodies(const std::vector<test::RecordedNotification>& all, size_t from,
                   const std::string& part) {
    size_t n = 0;
    for (size_t i = from; i < all.size(); ++i)
        n += all[i].body.find(part) != std::string::npos;
    return n;
}

void stopProgram(pid_t pid) {
    kill(pid, SIGTERM);
    DesktopSession::waitFor([&] { return !isRunning(pid); }, std::chrono::seconds(5));
    if (isRunning(pid))
        kill(pid, SIGKILL);
}

bool isRed(QColor c) {
    return c.red() > 180 && c.green() < 110 && c.blue() < 110;
}

class DesktopProgramTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        session_ = new DesktopSession({"x11", "wm", "compositor", "tray", "notify"});
        session_->apply();
        static int argc = 1;
        static char name[] = "DesktopProgramTest";
        static char* argv[] = {name, nullptr};
        app_ = new QApplication(argc, argv);
    }
    static void TearDownTestSuite() {
        delete app_;
        delete session_;
    }

    static QImage screenshot(const std::string& name) {
        const std::string path = artifactsDir() + "/" + name + ".png";
        EXPECT_TRUE(session_->screenshot(path));
        return QImage(QString::fromStdString(path)).convertToFormat(QImage::Format_RGB32);
    }
    static void pointerTo(int x, int y) {
        session_->run({"xdotool", "mousemove", std::to_string(x), std::to_string(y)});
    }

    static void openTrayMenu() {
        const Box icon = trayIcons(*session_).front();
        pointerTo(icon.x + icon.width / 2, icon.y + icon.height / 2);
        session_->run({"xdotool", "click", "3"});
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
    }

    static DesktopSession* session_;
    static QApplication* app_;
};

DesktopSession* DesktopProgramTest::session_ = nullptr;
QApplication* DesktopProgramTest::app_ = nullptr;

struct Panel {
    QtScreenInfo screens;
    QtPanelFactory factory;
    HUD hud{screens, factory};
    HUDWidget& widget() { return static_cast<QtPanelWindow*>(hud.panel())->widget(); }
};

TEST_F(DesktopProgramTest, PanelStandsAtTheBottomCentreOfTheScreenUnderThePointer) {
    ASSERT_EQ(QGuiApplication::screens().size(), 2) << "the session has two monitors";
    Panel p;
    struct Case {
        const char* name;
        int mouseX, mouseY;
        int x; // centred on that monitor
    };
    const Case cases[] = {
        {"panel-right-screen", 2500, 500, 1920 + 640 - 140},
        {"panel-left-screen", 300, 700, 960 - 140},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The tray's strut may shorten the visible area of the monitor it stands on.
        const QRect visible = QGuiApplication::screenAt({c.mouseX, c.mouseY})->availableGeometry();
        const QRect expected(c.x, visible.y() + visible.height() - 80 - 44, 280, 44);
        pointerTo(c.mouseX, c.mouseY);
        p.hud.show();
        pumpFor(300);
        EXPECT_EQ(p.widget().geometry(), expected);
        const QImage shot = screenshot(c.name);
        // The red microphone is inside the expected place and nowhere else on that screen row band.
        const QRect r = expected;
        int inside = 0;
        for (int y = r.top(); y <= r.bottom(); ++y)
            inside += countRow(shot, y, r.left(), r.right() + 1, isRed);
        EXPECT_GT(inside, 20) << "no red microphone drawn where the panel should stand";
        EXPECT_EQ(countRow(shot, r.center().y(), r.right() + 1, r.right() + 400, isRed) +
                      countRow(shot, r.center().y(), std::max(0, r.left() - 400), r.left(), isRed),
                  0);
    }
    int panels = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        panels += qobject_cast<HUDWidget*>(w) ? 1 : 0;
    EXPECT_EQ(panels, 1) << "later shows reuse the first panel";
    p.hud.panel()->orderOut();
}

// Records where it was clicked.
class ClickCatcher : public QWidget {
public:
    std::vector<QPoint> clicks;

protected:
    void mousePressEvent(QMouseEvent* e) override {
        clicks.push_back(e->globalPosition().toPoint());
    }
};

TEST_F(DesktopProgramTest, ClicksPassThroughThePanelAndFocusStaysWithTheFrontApplication) {
    const std::string typed = session_->launchTargetWindow();
    const std::string focused = session_->run({"xdotool", "getwindowfocus"}).out;
    Panel p;
    pointerTo(2500, 500);
    p.hud.show();
    pumpFor(300);
    EXPECT_EQ(session_->run({"xdotool", "getwindowfocus"}).out, focused);
    session_->run({"xdotool", "type", "--delay", "20", "ok"});
    EXPECT_TRUE(DesktopSession::waitFor([&] { return test::readFile(typed).value_or("") == "ok"; },
                                        std::chrono::seconds(3)))
        << "keys no longer reach the focused window while the panel is shown";

    ClickCatcher below;
    below.setWindowTitle("below the panel");
    below.setGeometry(2300, 820, 520, 180);
    below.show();
    pumpFor(400);
    p.hud.show(); // in front again, over the new window
    pumpFor(300);
    const QPoint target = p.widget().geometry().center();
    ASSERT_TRUE(below.frameGeometry().contains(target)) << "the window manager moved the window";
    screenshot("panel-over-window");
    pointerTo(target.x(), target.y());
    session_->run({"xdotool", "click", "1"});
    pumpFor(300);
    ASSERT_EQ(below.clicks.size(), 1u) << "the click on the panel did not reach the window below";
    EXPECT_EQ(below.clicks[0], target);
    p.hud.panel()->orderOut();
}

// The runner reads exactly what the controller writes (a transcript may span lines) and
// refuses anything else; bodies are escaped only for servers that read markup.
TEST_F(DesktopProgramTest, NotificationRunnerPostsWhatItWasGivenEscapedOnlyForMarkupServers) {
    const std::string runner = std::string(MURMELIN_BINARY_DIR) + "/platform/qt/murmelin-notify";
    const auto before = session_->notifications().size();
    EXPECT_EQ(session_
                  ->run({runner, "-e",
                         "display notification \"say \\\"hi\\\" \\\\ \\\\\\\" "
                         "done\ntwo\" with title \"Copied to clipboard\""})
                  .status,
              0);
    for (const char* refused :
         {"display notification \"unterminated", "do shell script \"rm -rf /\"",
          "display notification \"x\" with title \"T\" extra",
          "display notification \"stray \\n escape\""})
        EXPECT_EQ(session_->run({runner, "-e", refused}).status, 2) << refused;
    auto all = session_->notifications();
    ASSERT_EQ(all.size(), before + 1);
    EXPECT_EQ(all.back().appName, "Murmelin");
    EXPECT_EQ(all.back().summary, "Copied to clipboard");
    EXPECT_EQ(all.back().body, "say \"hi\" \\ \\\" done\ntwo");

    const std::string capabilities = *session_->env("MURMELIN_NOTIFICATIONS") + ".capabilities";
    const std::string script = "display notification \"<b>a</b> & \\\"b\\\"\" with title \"T\"";
    std::ofstream(capabilities) << "body\nbody-markup\n";
    // The program's own route (an installed program) asks once and escapes as well.
    DBusNotifier notifier;
    const auto sent = session_->notifications().size();
    notifier.post("", "T", "<i>x</i> & y");
    ASSERT_TRUE(DesktopSession::waitFor(
        [&] { return pumpFor(20), session_->notifications().size() > sent; },
        std::chrono::seconds(5)));
    EXPECT_EQ(session_->notifications().back().body, "&lt;i&gt;x&lt;/i&gt; &amp; y");
    EXPECT_EQ(session_->run({runner, "-e", script}).status, 0);
    std::filesystem::remove(capabilities);
    EXPECT_EQ(session_->run({runner, "-e", script}).status, 0);
    all = session_->notifications();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[all.size() - 2].body, "&lt;b&gt;a&lt;/b&gt; &amp; \"b\"");
    EXPECT_EQ(all.back().body, "<b>a</b> & \"b\"") << "a plain server shows entities literally";
}

TEST_F(DesktopProgramTest, ASecondStartTellsTheUserAndEndsWithoutDisturbingTheFirst) {
    const pid_t first = launchWithoutSound(*session_, "murmelin-first");
    ASSERT_TRUE(DesktopSession::waitFor([&] { return !trayIcons(*session_).empty(); },
                                        std::chrono::seconds(10)));
    const auto before = session_->notifications().size();
    const auto second =
        session_->run({"sh", "-c", "timeout 10 " + kProgram + " 2>&1; echo status=$?"});
    EXPECT_EQ(second.out, "murmelin: Murmelin is already running.\nstatus=0\n");
    EXPECT_EQ(countBodies(session_->notifications(), before, "Murmelin is already running."), 1u);
    EXPECT_TRUE(isRunning(first));
    EXPECT_EQ(trayIcons(*session_).size(), 1u);
    stopProgram(first);
}

TEST_F(DesktopProgramTest, QuitCommandEndsTheInstanceThatListensToTheKeyItself) {
    const pid_t pid = launchWithoutSound(*session_, "murmelin-quit-command");
    ASSERT_TRUE(DesktopSession::waitFor([&] { return !trayIcons(*session_).empty(); },
                                        std::chrono::seconds(10)));
    const auto quit = session_->run({"sh", "-c", kProgram + " quit 2>&1; echo status=$?"});
    EXPECT_EQ(quit.out, "status=0\n");
    EXPECT_TRUE(DesktopSession::waitFor([&] { return !isRunning(pid); }, std::chrono::seconds(5)))
        << programLog(*session_, "murmelin-quit-command");
    EXPECT_TRUE(trayIcons(*session_).empty());
    stopProgram(pid);
}

TEST_F(DesktopProgramTest, HotKeyTakenIsToldAndWorksOnceTheMenuOpensAfterItIsFree) {
    // The X server has let go of an earlier instance's grab once its icon is gone.
    ASSERT_TRUE(DesktopSession::waitFor([&] { return trayIcons(*session_).empty(); },
                                        std::chrono::seconds(5)));
    // Another program holds Control+Alt+Space.
    std::unique_ptr<Display, int (*)(Display*)> other(
        XOpenDisplay(session_->env("DISPLAY")->c_str()), XCloseDisplay);
    ASSERT_TRUE(other);
    const KeyCode space = XKeysymToKeycode(other.get(), XStringToKeysym("space"));
    XGrabKey(other.get(), space, ControlMask | Mod1Mask, DefaultRootWindow(other.get()), False,
             GrabModeAsync, GrabModeAsync);
    XSync(other.get(), False);

    const auto before = session_->notifications().size();
    const pid_t pid = launchWithoutSound(*session_, "murmelin-taken");
    ASSERT_TRUE(DesktopSession::waitFor([&] { return !trayIcons(*session_).empty(); },
                                        std::chrono::seconds(10)));
    EXPECT_TRUE(DesktopSession::waitFor(
        [&] { return countBodies(session_->notifications(), before, "is taken") == 1; },
        std::chrono::seconds(5)))
        << "the user was not told that the key is taken:\n"
        << programLog(*session_, "murmelin-taken");

    XUngrabKey(other.get(), space, AnyModifier, DefaultRootWindow(other.get()));
    XSync(other.get(), False);
    // A left click opens the menu, and opening it tries the key again.
    const Box icon = trayIcons(*session_).front();
    pointerTo(icon.x + icon.width / 2, icon.y + icon.height / 2);
    session_->run({"xdotool", "click", "1"});
    EXPECT_TRUE(DesktopSession::waitFor(
        [&] {
            return !session_->run({"xdotool", "search", "--onlyvisible", "--class", "murmelin"})
                        .out.empty();
        },
        std::chrono::seconds(3)))
        << "the left click opened no menu";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    screenshot("tray-menu-left-click");
    session_->run({"xdotool", "key", "Escape"});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    const auto pressed = session_->notifications().size();
    tapHotKey(*session_, 200);
    EXPECT_TRUE(DesktopSession::waitFor(
        [&] { return countBodies(session_->notifications(), pressed, "sound server") == 1; },
        std::chrono::seconds(5)))
        << "the key does not work after the retry";
    EXPECT_EQ(countBodies(session_->notifications(), before, "is taken"), 1u) << "told once";
    stopProgram(pid);
}

TEST_F(DesktopProgramTest, APressTheMomentTheIconShowsIsHeard) {
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        const auto before = session_->notifications().size();
        const pid_t pid = launchWithoutSound(*session_, "murmelin-cold-" + std::to_string(run));
        ASSERT_TRUE(DesktopSession::waitFor([&] { return !trayIcons(*session_).empty(); },
                                            std::chrono::seconds(10)));
        // Let go before the server's auto-repeat could stand in for a missed press.
        tapHotKey(*session_, 300);
        EXPECT_TRUE(DesktopSession::waitFor(
            [&] { return countBodies(session_->notifications(), before, "sound server") == 1; },
            std::chrono::seconds(5)))
            << "the press right after the icon showed was missed";
        stopProgram(pid);
        DesktopSession::waitFor([&] { return trayIcons(*session_).empty(); },
                                std::chrono::seconds(3));
    }
}

TEST_F(DesktopProgramTest, QuitHandsTheClipboardToTheClipboardManager) {
    const std::string config = *session_->env("XDG_CONFIG_HOME") + "/murmelin";
    std::filesystem::create_directories(config);
    std::ofstream(config + "/defaults.json") << R"({"history": ["kept after quit"]})";
    // A manager that takes the clipboard over when its owner asks it to (CLIPBOARD_MANAGER).
    const pid_t manager = session_->launch("clipman", {"xfce4-clipman"});
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const pid_t pid = launchWithoutSound(*session_, "murmelin-quit");
    ASSERT_TRUE(DesktopSession::waitFor([&] { return !trayIcons(*session_).empty(); },
                                        std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    openTrayMenu();
    session_->run({"xdotool", "key", "Down", "Return"}); // the history row
    ASSERT_TRUE(DesktopSession::waitFor([&] { return session_->clipboard() == "kept after quit"; },
                                        std::chrono::seconds(3)));
    openTrayMenu();
    session_->run({"xdotool", "key", "ctrl+q"});
    ASSERT_TRUE(DesktopSession::waitFor([&] { return !isRunning(pid); }, std::chrono::seconds(20)))
        << "Quit did not end the program:\n"
        << programLog(*session_, "murmelin-quit");
    // Qt offers the clipboard to the manager as the QApplication ends and waits up to 5 s
    // for its answer (xfce4-clipman never answers, and keeps the text by itself).
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(session_->clipboard(), "kept after quit");
    kill(manager, SIGTERM);
    std::filesystem::remove(config + "/defaults.json");
}

TEST_F(DesktopProgramTest, StartAtLoginWritesAndRemovesTheAutostartEntry) {
    const std::string entry = *session_->env("XDG_CONFIG_HOME") + "/autostart/murmelin.desktop";
    std::filesystem::remove(entry);
    const pid_t pid = launchWithoutSound(*session_, "murmelin-login");
    ASSERT_TRUE(DesktopSession::waitFor([&] { return !trayIcons(*session_).empty(); },
                                        std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (const bool wanted : {true, false}) {
        openTrayMenu();
        session_->run({"xdotool", "key", "Up", "Up", "Return"}); // above Quit
        EXPECT_TRUE(DesktopSession::waitFor(
            [&] { return std::filesystem::exists(entry) == wanted; }, std::chrono::seconds(3)))
            << "wanted " << wanted << "\n"
            << programLog(*session_, "murmelin-login");
        if (wanted) {
            EXPECT_NE(test::readFile(entry).value_or("").find("\nExec=murmelin\n"),
                      std::string::npos);
        }
    }
    EXPECT_TRUE(isRunning(pid));
    stopProgram(pid);
}

// A session of its own: without a notification server, then without its X server.
TEST(DesktopFaultsTest, ErrorsReachStderrWithoutANotificationServerAndALostDisplayEndsIt) {
    DesktopSession s({"x11", "tray"});
    const pid_t pid = s.launch("murmelin", {"env", "MURMELIN_VERBOSE=1",
                                            "PULSE_SERVER=unix:/nonexistent/murmelin", kProgram});
    // The key is grabbed by the time it says so; a docked icon alone does not tell (a busy
    // machine once docked it first and the tap went nowhere).
    ASSERT_TRUE(DesktopSession::waitFor(
        [&] {
            return programLog(s, "murmelin").find("\"hot_key\":\"bound\"") != std::string::npos;
        },
        std::chrono::seconds(20)))
        << programLog(s, "murmelin");
    tapHotKey(s, 200);
    EXPECT_TRUE(DesktopSession::waitFor(
        [&] {
            return programLog(s, "murmelin")
                       .find("murmelin: Murmelin: Cannot connect to the sound "
                             "server") != std::string::npos;
        },
        std::chrono::seconds(5)))
        << "the error itself is not on stderr:\n"
        << programLog(s, "murmelin");

    pid_t xserver = 0;
    for (const auto& [p, name] : s.processes())
        if (name == "x11")
            xserver = p;
    ASSERT_GT(xserver, 0);
    kill(xserver, SIGKILL);
    EXPECT_TRUE(DesktopSession::waitFor([&] { return !isRunning(pid); }, std::chrono::seconds(5)))
        << "murmelin hangs after its X server went away";
    EXPECT_NE(programLog(s, "murmelin").find("murmelin: lost the connection to the X display"),
              std::string::npos)
        << programLog(s, "murmelin");
    if (isRunning(pid))
        kill(pid, SIGKILL);
}

} // namespace
