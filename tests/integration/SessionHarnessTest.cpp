// The headless desktop the other integration tests stand on: each part must do its job as a
// client sees it, and stopping must leave no process behind and a caller's display alone.
#include "DesktopSession.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QSystemTrayIcon>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

namespace murmelin::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

// Running, as opposed to gone or an unreaped zombie.
bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    return line.substr(line.rfind(')') + 2, 1) != "Z";
}

TEST(SessionHarness, EveryPartAnswersAsAClientSeesIt) {
    DesktopSession session;
    std::cerr << "start-up ms: " << readFile(session.dir() + "/startup-ms").value_or("?");

    const auto monitors = session.run({"xrandr", "--listmonitors"}).out;
    EXPECT_THAT(monitors, HasSubstr("Monitors: 2"));
    EXPECT_THAT(monitors, HasSubstr("LEFT 1920/508x1080/286+0+0"));
    EXPECT_THAT(monitors, HasSubstr("RIGHT 1280/338x1024/270+1920+0"));
    EXPECT_EQ(session.run({session.tool("session_probe"), "--timeout-ms", "0", "wm", "compositor"})
                  .status,
              0);
    // run() returns when the command ends, even if something it left behind holds its output.
    const auto daemon = session.run({"sh", "-c", "sleep 30 & echo $!"});
    ASSERT_EQ(daemon.status, 0);
    const pid_t leftBehind = std::stoi(daemon.out);
    EXPECT_TRUE(alive(leftBehind));
    kill(leftBehind, SIGKILL);

    const std::string shot = session.dir() + "/shot.png";
    ASSERT_TRUE(session.screenshot(shot));
    EXPECT_EQ(session.run({"identify", "-format", "%wx%h", shot}).out, "3200x1080");

    // Notifications arrive exactly as sent, whether from notify-send or from QtDBus in-process
    // (the way the program itself posts them).
    ASSERT_EQ(session.run({"notify-send", "-a", "Test", "T", "B"}).status, 0);
    session.apply();
    {
        int argc = 1;
        char name[] = "SessionHarnessTest";
        char* argv[] = {name, nullptr};
        QApplication app(argc, argv);
        EXPECT_TRUE(QSystemTrayIcon::isSystemTrayAvailable());
        auto call = QDBusMessage::createMethodCall("org.freedesktop.Notifications",
                                                   "/org/freedesktop/Notifications",
                                                   "org.freedesktop.Notifications", "Notify");
        call << QString("Murmelin") << 0u << QString() << QString("Copied to clipboard")
             << QString::fromUtf8("two\nlines “quoted” & <b>ü</b>") << QStringList()
             << QVariantMap() << -1;
        const QDBusMessage reply = QDBusConnection::sessionBus().call(call);
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    }
    const std::vector<RecordedNotification> expected{
        {"Test", "T", "B", 1},
        {"Murmelin", "Copied to clipboard", "two\nlines “quoted” & <b>ü</b>", 2}};
    EXPECT_TRUE(DesktopSession::waitFor([&] { return session.notifications().size() >= 2; }, 5s));
    EXPECT_EQ(session.notifications(), expected);

    // The virtual microphone hears what is played into it.
    const std::string tone = session.dir() + "/tone.wav", captured = session.dir() + "/mic.raw";
    ASSERT_EQ(session
                  .run({"sox", "-n", "-r", "16000", "-c", "1", tone, "synth", "0.5", "sine", "440",
                        "vol", "0.5"})
                  .status,
              0);
    const pid_t capture =
        session.launch("capture", {"sh", "-c",
                                   "exec parec -d @DEFAULT_SOURCE@ --raw --rate=16000 --channels=1 "
                                   "--format=s16le >'" +
                                       captured + "'"});
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(session.play(tone));
    std::this_thread::sleep_for(200ms);
    kill(capture, SIGTERM);
    const std::string raw = readFile(captured).value_or("");
    int peak = 0;
    for (size_t i = 0; i + 1 < raw.size(); i += 2)
        peak = std::max(peak, std::abs(static_cast<int>(static_cast<int16_t>(
                                  static_cast<uint8_t>(raw[i]) | (raw[i + 1] << 8)))));
    EXPECT_GT(raw.size(), 16000u) << "less than half a second captured";
    EXPECT_GT(peak, 32767 / 4) << "the tone (amplitude 0.5) did not reach the microphone";

    // Keys reach the focused window, as typed and as separate press and release events, and a
    // paste brings the clipboard's text. (xdotool types characters outside the keymap by
    // remapping a spare key, which races with the client under load: paste those instead.)
    const std::string target = session.launchTargetWindow();
    ASSERT_EQ(session.run({"xdotool", "type", "--delay", "20", "Hello, World"}).status, 0);
    ASSERT_TRUE(session.keyDown("Shift_L"));
    ASSERT_EQ(session.run({"xdotool", "key", "a"}).status, 0);
    ASSERT_TRUE(session.keyUp("Shift_L"));
    ASSERT_EQ(session.run({"xdotool", "key", "b"}).status, 0);
    EXPECT_TRUE(DesktopSession::waitFor(
        [&] { return readFile(target).value_or("") == "Hello, WorldAb"; }, 5s))
        << readFile(target).value_or("(no file)");

    session.launch("clip", {"sh", "-c", "printf 'clip ü' | xclip -quiet -selection clipboard"});
    EXPECT_TRUE(DesktopSession::waitFor([&] { return session.clipboard() == "clip ü"; }, 5s));
    ASSERT_EQ(session.run({"xdotool", "key", "ctrl+v"}).status, 0);
    EXPECT_TRUE(DesktopSession::waitFor(
        [&] { return readFile(target).value_or("") == "Hello, WorldAbclip ü"; }, 5s))
        << readFile(target).value_or("(no file)");
}

// The foreign programs the product pastes into work here: a GTK editor and a VTE terminal (which
// pastes with Control+Shift+V). What arrived is read back from files they write.
TEST(SessionHarness, ForeignTargetsReceiveAPaste) {
    DesktopSession session({"x11", "wm"});
    session.launch("clip", {"sh", "-c", "printf 'pasted ü' | xclip -quiet -selection clipboard"});
    ASSERT_TRUE(DesktopSession::waitFor([&] { return session.clipboard() == "pasted ü"; }, 5s));
    const std::string editorFile = session.dir() + "/editor.txt";
    const std::string terminalFile = session.dir() + "/terminal.txt";
    struct Case {
        std::string name;
        std::vector<std::string> argv;
        std::vector<std::string> keys;
        std::string file;
        std::string expected;
    };
    const std::vector<Case> cases{
        {"mousepad", {"mousepad", editorFile}, {"ctrl+v", "ctrl+s"}, editorFile, "pasted ü"},
        {"lxterminal",
         {"lxterminal", "-e", "sh -c 'cat > " + terminalFile + "'"},
         {"ctrl+shift+v", "Return"},
         terminalFile,
         "pasted ü\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const pid_t pid = session.launch(c.name, c.argv);
        ASSERT_TRUE(DesktopSession::waitFor([&] { return session.activeWindowPid() == pid; }, 15s))
            << c.name << " never got the focus";
        for (const auto& key : c.keys)
            ASSERT_EQ(session.run({"xdotool", "key", key}).status, 0);
        EXPECT_TRUE(DesktopSession::waitFor(
            [&] { return readFile(c.file).value_or("") == c.expected; }, 5s))
            << readFile(c.file).value_or("(no file)");
    }
}

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
    session.launch("terminal", {"lxterminal"});
    session.launch("editor", {"mousepad"});
    const auto processes = session.processes();
    EXPECT_GE(processes.size(), 10u);
    for (const auto& [pid, name] : processes)
        EXPECT_TRUE(alive(pid)) << name << " died early";

    EXPECT_TRUE(session.stop());
    for (const auto& [pid, name] : processes)
        EXPECT_FALSE(alive(pid)) << name << " (" << pid << ") outlived the session";
    EXPECT_FALSE(std::filesystem::exists("/tmp/.X" + display.substr(1) + "-lock"));
    EXPECT_FALSE(std::filesystem::exists("/tmp/.X11-unix/X" + display.substr(1)));
    EXPECT_EQ(caller.run({"xdpyinfo"}).status, 0) << "the caller's display went away";
    saved.empty() ? unsetenv("DISPLAY") : setenv("DISPLAY", saved.c_str(), 1);
}

// A test killed by a timeout never runs a destructor; the watchdog must stop its session.
TEST(SessionHarness, SessionEndsWithItsOwnerProcess) {
    const pid_t owner = fork();
    ASSERT_GE(owner, 0);
    if (owner == 0) {
        pause();
        _exit(0);
    }
    const std::string dir = std::filesystem::temp_directory_path() / "murmelin-owner-test";
    std::filesystem::remove_all(dir);
    const std::string script = std::string(MURMELIN_SOURCE_DIR) + "/scripts/session.sh";
    const std::string start =
        script + " start --owner " + std::to_string(owner) + " " + dir + " x11 pulse 2>/dev/null";
    ASSERT_EQ(std::system(start.c_str()), 0);
    std::vector<pid_t> pids;
    std::ifstream list(dir + "/pids");
    std::string rest;
    for (pid_t pid; list >> pid && std::getline(list, rest);)
        pids.push_back(pid);
    ASSERT_GE(pids.size(), 4u);

    kill(owner, SIGKILL);
    waitpid(owner, nullptr, 0);
    EXPECT_TRUE(DesktopSession::waitFor(
        [&] { return std::none_of(pids.begin(), pids.end(), alive); }, 10s));
    EXPECT_TRUE(std::filesystem::exists(dir + "/pids.stopped"));
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace murmelin::test
