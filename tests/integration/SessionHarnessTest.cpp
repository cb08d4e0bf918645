// What the headless desktop's own start-up probes cannot show: stopping leaves no process
// behind and spares a caller's display, also when the test that owned the session was killed.
#include "DesktopSession.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

namespace murmelin::test {
namespace {

using namespace std::chrono_literals;

TEST(SessionHarness, StopLeavesNothingBehindAndSparesTheCallersDisplay) {
    DesktopSession caller({"x11"});
    const std::string callerDisplay = caller.env("DISPLAY").value();
    const char* before = std::getenv("DISPLAY");
    const std::string saved = before ? before : "";
    setenv("DISPLAY", callerDisplay.c_str(), 1);

    DesktopSession session;
    const std::string display = session.env("DISPLAY").value();
    EXPECT_NE(display, callerDisplay);
    EXPECT_EQ(std::getenv("DISPLAY"), callerDisplay);
    // run() returns when the command ends, even if something it left behind holds its output.
    const auto daemon = session.run({"sh", "-c", "sleep 30 & echo $!"});
    ASSERT_EQ(daemon.status, 0);
    kill(std::stoi(daemon.out), SIGKILL);
    session.launch("terminal", {"lxterminal"});
    session.launch("editor", {"mousepad"});
    const auto processes = session.processes();
    EXPECT_GE(processes.size(), 10u);
    for (const auto& [pid, name] : processes)
        EXPECT_TRUE(isRunning(pid)) << name << " died early";

    EXPECT_TRUE(session.stop());
    for (const auto& [pid, name] : processes)
        EXPECT_FALSE(isRunning(pid)) << name << " (" << pid << ") outlived the session";
    EXPECT_FALSE(std::filesystem::exists("/tmp/.X" + display.substr(1) + "-lock"));
    EXPECT_FALSE(std::filesystem::exists("/tmp/.X11-unix/X" + display.substr(1)));
    EXPECT_EQ(caller.run({"xdpyinfo"}).status, 0) << "the caller's display went away";
    saved.empty() ? unsetenv("DISPLAY") : setenv("DISPLAY", saved.c_str(), 1);
}

// The Wayland desktop: sway as its own user, reached by our clients, gone without a trace.
TEST(SessionHarness, SwaySessionServesOurClientsAndStopsCleanly) {
    DesktopSession session({"sway", "notify"});
    ASSERT_TRUE(session.wayland());
    EXPECT_FALSE(session.env("DISPLAY")) << "an X display would let X11 code pass by mistake";
    const std::string target = session.launchTargetWindow();
    EXPECT_TRUE(
        DesktopSession::waitFor([&] { return session.focusedAppId() == "target_window"; }, 5s))
        << session.focusedAppId();
    const std::string shot = session.dir() + "/both-outputs.png";
    ASSERT_TRUE(session.screenshot(shot));
    const auto png = readFile(shot).value_or("");
    ASSERT_GE(png.size(), 24u);
    auto be32 = [&](size_t at) {
        return (unsigned char)png[at] << 24 | (unsigned char)png[at + 1] << 16 |
               (unsigned char)png[at + 2] << 8 | (unsigned char)png[at + 3];
    };
    EXPECT_EQ(be32(16), 1280u + 800u) << "HEADLESS-2 stands right of HEADLESS-1";
    EXPECT_EQ(be32(20), 720u);
    ASSERT_EQ(session.run({"sh", "-c", "wl-copy from-a-client >/dev/null 2>&1"}).status, 0);
    EXPECT_TRUE(
        DesktopSession::waitFor([&] { return session.clipboard() == "from-a-client"; }, 2s));

    const auto processes = session.processes();
    EXPECT_TRUE(session.stop());
    for (const auto& [pid, name] : processes)
        EXPECT_FALSE(isRunning(pid)) << name << " (" << pid << ") outlived the session";
}

// GNOME: mutter with its Xwayland and the GNOME portal set alone; stopping removes Xwayland's
// sockets and lock files, which mutter does only while Xwayland still runs.
TEST(SessionHarness, GnomeSessionServesWaylandAndXwaylandClientsAndStopsCleanly) {
    DesktopSession session({"gnome"});
    ASSERT_TRUE(session.gnome() && session.wayland());
    const std::string display = session.env("DISPLAY").value_or(":none");
    EXPECT_EQ(session.run({"xdpyinfo"}).status, 0) << "Xwayland " << display;
    const std::string shot = session.dir() + "/monitor.png";
    ASSERT_TRUE(session.screenshot(shot));
    EXPECT_EQ(QImage(QString::fromStdString(shot)).size(), QSize(1280, 720));
    const auto portal =
        session.run({"gdbus", "introspect", "--session", "-d", "org.freedesktop.portal.Desktop",
                     "-o", "/org/freedesktop/portal/desktop"});
    EXPECT_NE(portal.out.find("org.freedesktop.portal.RemoteDesktop"), std::string::npos);
    EXPECT_EQ(portal.out.find("GlobalShortcuts"), std::string::npos)
        << "another desktop's portal backend serves the GNOME session";

    const auto processes = session.processes();
    EXPECT_TRUE(session.stop());
    for (const auto& [pid, name] : processes)
        EXPECT_FALSE(isRunning(pid)) << name << " (" << pid << ") outlived the session";
    // mutter's log names both displays it took: the public one and its own services' one.
    const std::string log = readFile(session.dir() + "/logs/mutter.log").value_or("");
    std::smatch taken;
    ASSERT_TRUE(std::regex_search(log, taken, std::regex(":(\\d+), \\(using :(\\d+)"))) << log;
    for (const std::string& number : {taken[1].str(), taken[2].str()}) {
        EXPECT_FALSE(std::filesystem::exists("/tmp/.X" + number + "-lock")) << number;
        EXPECT_FALSE(std::filesystem::exists("/tmp/.X11-unix/X" + number)) << number;
    }
    EXPECT_EQ(":" + taken[1].str(), display);
}

// A test killed by a timeout never runs a destructor; the watchdog must stop its session.
TEST(SessionHarness, SessionEndsWithItsOwnerProcess) {
    const pid_t owner = fork();
    ASSERT_GE(owner, 0);
    if (owner == 0) {
        pause();
        _exit(0);
    }
    const TempDir dir("owner");
    const std::string start = std::string(MURMELIN_SOURCE_DIR) +
                              "/scripts/session.sh start --owner " + std::to_string(owner) + " " +
                              dir.path().string() + " x11 pulse 2>/dev/null";
    ASSERT_EQ(std::system(start.c_str()), 0);
    std::vector<pid_t> pids;
    std::ifstream list(dir / "pids");
    std::string rest;
    for (pid_t pid; list >> pid && std::getline(list, rest);)
        pids.push_back(pid);
    ASSERT_GE(pids.size(), 4u);

    kill(owner, SIGKILL);
    waitpid(owner, nullptr, 0);
    EXPECT_TRUE(DesktopSession::waitFor(
        [&] { return std::none_of(pids.begin(), pids.end(), isRunning); }, 10s));
    EXPECT_TRUE(std::filesystem::exists(dir / "pids.stopped"));
}

} // namespace
} // namespace murmelin::test
