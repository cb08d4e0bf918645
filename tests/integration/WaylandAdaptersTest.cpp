// The Wayland adapters against a real wlroots compositor: a headless sway of its own (sway
// refuses root, so it runs as the unprivileged user wltest; this process is a root client
// through the socket's absolute path).
#include "DesktopSession.h"
#include "TempDir.h"
#include "WaylandClipboard.h"
#include "WaylandConnection.h"
#include "WaylandKeyInjector.h"
#include "WaylandLayerPanel.h"
#include "WaylandPanel.h"
#include "WaylandToplevels.h"
#include "WaylandTrust.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

using namespace murmelin;
using murmelin::test::DesktopSession;
using murmelin::test::readFile;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kUser = "wltest";

struct Result {
    int status = -1;
    std::string out;
};

// Runs argv and waits; stdout is captured when `capture`, else it and stderr go to /dev/null
// (wl-copy's forked server keeps them open: a pipe would never end).
Result run(const std::vector<std::string>& argv, bool capture = true) {
    int out[2] = {-1, -1};
    if (capture && ::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (capture)
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    Result result;
    if (capture) {
        ::close(out[1]);
        char buffer[65536];
        for (ssize_t n; spawned == 0 && (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
            result.out.append(buffer, size_t(n));
        ::close(out[0]);
    }
    int status = 0;
    if (spawned == 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    return result;
}

// A headless sway 1.7 of its own, in a fresh folder: one output of 1280x720, no Xwayland.
class Sway {
public:
    Sway() {
        if (run({"id", "-u", kUser}).status != 0)
            run({"useradd", "-m", "-s", "/bin/bash", kUser});
        fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_exec |
                                         fs::perms::others_exec | fs::perms::group_read |
                                         fs::perms::others_read);
        for (const char* sub : {"run", "out"}) {
            fs::create_directory(dir_ / sub);
            run({"chown", std::string(kUser) + ":" + kUser, (dir_ / sub).string()});
        }
        fs::permissions(dir_ / "run", fs::perms::owner_all);
        std::ofstream(dir_ / "sway.conf") << "xwayland disable\n"
                                             "output HEADLESS-1 resolution 1280x720 position 0 0\n";
        sway_ = launch({"env", "WLR_BACKENDS=headless", "WLR_RENDERER=pixman",
                        "WLR_LIBINPUT_NO_DEVICES=1", "sway", "-c", (dir_ / "sway.conf").string()},
                       "sway.log");
        const bool up = DesktopSession::waitFor(
            [&] {
                return run(asUser({"swaymsg", "-t", "get_version"})).status == 0;
            },
            10s);
        if (!up)
            throw std::runtime_error("sway did not start: " +
                                     readFile((dir_ / "sway.log").string()).value_or(""));
        for (const auto& entry : fs::directory_iterator(dir_ / "run"))
            if (entry.path().filename().string().starts_with("wayland-") &&
                entry.path().extension() != ".lock")
                socket_ = entry.path().string();
        // This process and the root tools (wl-paste, grim) are clients by the absolute path.
        ::setenv("WAYLAND_DISPLAY", socket_.c_str(), 1);
    }
    ~Sway() {
        for (auto it = pids_.rbegin(); it != pids_.rend(); ++it)
            stop(*it);
    }

    // argv as a command of the session's user, in the session's environment.
    std::vector<std::string> asUser(std::vector<std::string> argv) const {
        const std::string runDir = (dir_ / "run").string();
        std::vector<std::string> full{"setpriv",
                                      std::string("--reuid=") + kUser,
                                      std::string("--regid=") + kUser,
                                      "--init-groups",
                                      "--pdeathsig=TERM", // none outlives a killed test
                                      "env",
                                      "-i",
                                      std::string("HOME=/home/") + kUser,
                                      "PATH=/usr/bin:/bin",
                                      "LANG=C.UTF-8",
                                      "XDG_RUNTIME_DIR=" + runDir,
                                      "WAYLAND_DISPLAY=" + socket_,
                                      "SWAYSOCK=" + runDir + "/sway.sock",
                                      "QT_QPA_PLATFORM=wayland",
                                      "NO_AT_BRIDGE=1"};
        full.insert(full.end(), argv.begin(), argv.end());
        return full;
    }
    // Starts argv as the user in the background, output to `log` in the folder.
    pid_t launch(const std::vector<std::string>& argv, const std::string& log) {
        const std::vector<std::string> full = asUser(argv);
        std::vector<char*> args;
        for (const auto& a : full)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string logPath = (dir_ / log).string();
        posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = -1;
        if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
            throw std::runtime_error("cannot start " + full[0] + " for " + argv[0]);
        posix_spawn_file_actions_destroy(&actions);
        pids_.push_back(pid);
        return pid;
    }
    void stop(pid_t pid) {
        if (::kill(pid, SIGTERM) != 0)
            return;
        if (!DesktopSession::waitFor([&] { return ::waitpid(pid, nullptr, WNOHANG) == pid; }, 3s)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    void stopSway() { stop(sway_); }
    // The app_id (or name) of the focused node in sway's tree.
    std::string focused() const {
        return trimmed(run(asUser({"sh", "-c",
                                   "swaymsg -t get_tree | jq -r '[.. | select(.focused? == "
                                   "true) | .app_id // .name][0]'"}))
                           .out);
    }
    fs::path out(const std::string& name) const { return dir_ / "out" / name; }

    static std::string trimmed(std::string s) {
        while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
            s.pop_back();
        return s;
    }

private:
    test::TempDir dir_{"sway"};
    std::string socket_;
    pid_t sway_ = -1;
    std::vector<pid_t> pids_;
};

// The program's side: the connection and the adapters, made before any window (as at start)
// so that the seat has its keyboard before clients bind it.
struct Adapters {
    std::unique_ptr<WaylandConnection> connection = [] {
        std::string problem;
        auto c = WaylandConnection::connect(problem);
        if (!c)
            throw std::runtime_error(problem);
        return c;
    }();
    WaylandToplevels toplevels{*connection};
    WaylandKeyInjector keys{*connection, &toplevels, std::make_shared<const PasteChordTable>()};
};

class WaylandAdaptersTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        try {
            sway = new Sway;
            adapters = new Adapters;
        } catch (const std::exception& e) {
            problem = e.what();
        }
    }
    static void TearDownTestSuite() {
        delete adapters;
        delete sway;
    }
    void SetUp() override {
        if (!adapters)
            FAIL() << "no Wayland session: " << problem;
    }
    // Starts the tests' Qt window and waits until it has focus; returns the file of its text.
    static fs::path targetWindow() {
        static fs::path file;
        if (file.empty()) {
            file = sway->out("target.txt");
            sway->launch(
                {MURMELIN_BINARY_DIR "/tests/integration/tools/target_window", file.string()},
                "target.log");
            if (!DesktopSession::waitFor([] { return fs::exists(file); }, 15s))
                throw std::runtime_error("the target window did not get the focus");
        }
        return file;
    }
    static inline Sway* sway = nullptr;
    static inline Adapters* adapters = nullptr;
    static inline std::string problem;
};

std::string paste(bool primary = false) {
    std::vector<std::string> argv{"timeout", "5", "wl-paste", "-n"};
    if (primary)
        argv.push_back("-p");
    Result r = run(argv);
    return r.status == 0 ? r.out : "<status " + std::to_string(r.status) + ">";
}

TEST_F(WaylandAdaptersTest, OffersEveryProtocolOfTheWlrootsRoad) {
    const WaylandOffers& offers = adapters->connection->offers();
    EXPECT_TRUE(offers.canPaste() && offers.canCopy() && offers.canShowPanels() &&
                offers.foreignToplevel)
        << offers.describe();
    EXPECT_EQ(offers.dataControl, 2u);
}

TEST_F(WaylandAdaptersTest, ClipboardServesWithoutFocusUntilItGoes) {
    auto clipboard = std::make_unique<WaylandClipboard>(*adapters->connection);
    const std::string text = "Grüße aus Wayland";
    clipboard->setString(text);
    clipboard->setPrimarySelection("primary " + text);
    EXPECT_TRUE(DesktopSession::waitFor([&] { return paste() == text; }, 3s)) << paste();
    EXPECT_EQ(paste(true), "primary " + text);

    // A reader that leaves after a few bytes (EPIPE on our side) harms neither the program
    // nor the next reader.
    const std::string big(4 << 20, 'x');
    clipboard->setString(big);
    ASSERT_TRUE(DesktopSession::waitFor([&] { return paste().size() == big.size(); }, 5s));
    EXPECT_EQ(run({"sh", "-c", "timeout 5 wl-paste -n | head -c 5"}).out, "xxxxx");
    EXPECT_EQ(paste().size(), big.size());

    clipboard.reset();
    // wl-paste ends with 1 when there is no selection (124: it hung and was stopped).
    EXPECT_TRUE(DesktopSession::waitFor([&] { return paste() == "<status 1>"; }, 3s))
        << "the selection outlived its owner: " << paste();
}

// The first chord is the first key the virtual keyboard ever sends: none may be lost.
TEST_F(WaylandAdaptersTest, PastesIntoAQtWindowWhateverTheLayout) {
    const fs::path file = targetWindow();
    std::vector<double> milliseconds;
    for (const char* layout : {"us", "ru"}) {
        run(sway->asUser({"swaymsg", "input", "type:keyboard", "xkb_layout", layout}));
        for (int i = 0; i < 3; ++i) {
            const std::string text = std::string(layout) + "-paste-" + std::to_string(i);
            run(sway->asUser({"wl-copy", text}), false);
            ASSERT_TRUE(DesktopSession::waitFor([&] { return paste() == text; }, 3s));
            adapters->keys.postPaste(PasteChord::controlV);
            // Polled every millisecond, for the latency.
            const auto start = std::chrono::steady_clock::now();
            bool arrived = false;
            while (!(arrived = readFile(file.string()).value_or("").ends_with(text)) &&
                   std::chrono::steady_clock::now() - start < 3s)
                std::this_thread::sleep_for(1ms);
            milliseconds.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
            EXPECT_TRUE(arrived) << layout << " paste " << i << ": "
                                 << readFile(file.string()).value_or("");
        }
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    std::printf("postPaste -> text in the Qt window: median %.1f ms, max %.1f ms\n",
                milliseconds[milliseconds.size() / 2], milliseconds.back());
    run(sway->asUser({"swaymsg", "input", "type:keyboard", "xkb_layout", "us"}));
}

TEST_F(WaylandAdaptersTest, ThePasteChordFollowsTheActivatedToplevel) {
    targetWindow();
    const pid_t foot = sway->launch({"foot", "-a", "foot"}, "foot.log");
    EXPECT_TRUE(
        DesktopSession::waitFor([&] { return adapters->toplevels.activeAppId() == "foot"; }, 10s))
        << adapters->toplevels.activeAppId();
    EXPECT_EQ(adapters->keys.pasteChord(), PasteChord::controlShiftV);
    sway->stop(foot);
    EXPECT_TRUE(DesktopSession::waitFor(
        [&] { return adapters->keys.pasteChord() == PasteChord::controlV; }, 5s))
        << adapters->toplevels.activeAppId();
    EXPECT_NE(adapters->toplevels.activeAppId(), "");
}

TEST_F(WaylandAdaptersTest, ThePanelShowsAtTheBottomWithoutTakingFocus) {
    targetWindow();
    const std::string focused = sway->focused();
    // 200x40 at the bottom centre of the 1280x720 output, 80 above its edge.
    const int width = 200, height = 40;
    auto pixels = [] { return run({"grim", "-t", "ppm", "-g", "540,600 200x40", "-"}).out; };
    std::string red = "P6\n200 40\n255\n";
    for (int i = 0; i < width * height; ++i)
        red += std::string("\xff\0\0", 3);
    const std::string before = pixels();
    ASSERT_NE(before, red);

    WaylandLayerPanel panel(*adapters->connection);
    panel.setBottomMargin(80);
    const std::vector<uint32_t> frame(width * height, 0xffff0000);
    panel.show(frame.data(), width, height, width * 4);
    EXPECT_TRUE(DesktopSession::waitFor([&] { return pixels() == red; }, 3s));
    EXPECT_EQ(sway->focused(), focused);
    panel.hide();
    EXPECT_TRUE(DesktopSession::waitFor([&] { return pixels() == before; }, 3s));
    EXPECT_EQ(sway->focused(), focused);
}

// The program's panel: the HUD drawn off screen, its frames on the layer surface, following
// the level while shown.
TEST_F(WaylandAdaptersTest, TheHUDPanelFollowsTheLevelOnTheLayerSurface) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1); // the widget is drawn, never shown by Qt
    static int argc = 1;
    static char name[] = "WaylandAdaptersTest";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    auto waitQt = [](const std::function<bool()>& done) {
        return DesktopSession::waitFor(
            [&] {
                QCoreApplication::processEvents();
                return done();
            },
            3s);
    };
    targetWindow();
    const std::string focused = sway->focused();
    // 280x44 at the bottom centre of the 1280x720 output, 80 above its edge.
    auto pixels = [] { return run({"grim", "-t", "ppm", "-g", "500,596 280x44", "-"}).out; };
    const std::string before = pixels();

    LevelModel model;
    WaylandPanelFactory factory(*adapters->connection);
    const auto panel = factory.makePanel(model, HUDView::panelSize);
    panel->place({std::nullopt, 80});
    panel->orderFrontRegardless();
    std::string quiet;
    EXPECT_TRUE(waitQt([&] { return (quiet = pixels()) != before; }));
    model.level = 1.0;
    EXPECT_TRUE(waitQt([&] { return pixels() != quiet; })) << "the level bar did not move";
    EXPECT_EQ(sway->focused(), focused);
    panel->orderOut();
    EXPECT_TRUE(waitQt([&] { return pixels() == before; }));
}

// A compositor that goes away is told once; the adapters then do nothing, and never hang.
TEST(WaylandConnectionLossTest, AGoneCompositorIsToldOnceAndNothingBreaks) {
    Sway sway;
    Adapters adapters;
    ManualClock clock;
    MainQueue main(clock);
    WaylandTrust trust(*adapters.connection, main);
    std::vector<bool> changes;
    trust.setOnChange([&](bool trusted) { changes.push_back(trusted); });
    auto clipboard = std::make_unique<WaylandClipboard>(*adapters.connection);
    auto panel = std::make_unique<WaylandLayerPanel>(*adapters.connection);
    const uint32_t pixel = 0xff00ff00;
    panel->show(&pixel, 1, 1, 4);
    EXPECT_TRUE(trust.isTrusted());

    ::testing::internal::CaptureStderr();
    sway.stopSway();
    EXPECT_TRUE(DesktopSession::waitFor([&] { return adapters.connection->lost(); }, 5s));
    clipboard->setString("after the end");
    panel->show(&pixel, 1, 1, 4);
    EXPECT_FALSE(adapters.keys.postPaste(PasteChord::controlV));
    EXPECT_FALSE(trust.isTrusted());
    drain(main);
    EXPECT_EQ(changes, std::vector<bool>{false});
    clipboard.reset();
    panel.reset();
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(said.starts_with("murmelin: lost the connection to the Wayland compositor"))
        << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
}

} // namespace
