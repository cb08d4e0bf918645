// The whole road of a dictation on a headless GNOME (mutter 43 with its Xwayland,
// xdg-desktop-portal-gnome 43): GNOME 43 has no GlobalShortcuts portal, so a shortcut runs
// `murmelin press` / `murmelin release`; the paste goes through the RemoteDesktop portal once
// someone answers GNOME's consent dialog (tools/consent_dialog.py, by screenshots and keys);
// Qt runs on Xwayland, where the clipboard and the panel need no focus. The target is a native
// Wayland Qt window.
#include <QCoreApplication>

#include "TrayWatcher.h"

#include "EndToEnd.h" // last: it brings Xlib's macros

#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <fstream>

using namespace murmelin::test;

namespace {

const std::string kTools = std::string(MURMELIN_SOURCE_DIR) + "/tests/integration/tools/";

class GnomeEndToEndTest : public EndToEndFixture {
public:
    static void SetUpTestSuite() { session_ = new DesktopSession({"gnome", "notify"}); }

    // Starts the person who answers GNOME's consent dialog; returns its pid once it watches.
    pid_t answerConsent(bool accept) {
        const std::string name = accept ? "consent-accept" : "consent-refuse";
        answers_ = session_->dir() + "/logs/" + name + ".log";
        std::filesystem::remove(answers_);
        std::vector<std::string> argv{kTools + "consent_dialog.py"};
        if (!accept)
            argv.push_back("--refuse");
        const pid_t pid = session_->launch(name, argv);
        EXPECT_TRUE(DesktopSession::waitFor(
            [&] { return answers().find("ready") != std::string::npos; }, 10s));
        return pid;
    }
    // What it has said: "ready", then "answered RESPONSE SECONDS" per dialog.
    std::string answers() const { return readFile(answers_).value_or(""); }
    // Once a dialog has been answered.
    bool answered(std::chrono::seconds within) const {
        return DesktopSession::waitFor(
            [&] { return answers().find("answered") != std::string::npos; }, within);
    }

private:
    std::string answers_;
};

TEST_F(GnomeEndToEndTest, DictationAfterConsentGivenOrRefusedAtGnomesDialog) {
    const std::string dir = session_->dir(), file = dir + "/qt.txt", focus = file + ".focus";
    session_->launch("target_window", {session_->tool("target_window"), file});
    ASSERT_TRUE(DesktopSession::waitFor([&] { return readFile(file).has_value(); }, 10s));
    EXPECT_EQ(session_->run({"xdotool", "search", "--name", "Murmelin target"}).out, "")
        << "the target is an X11 window: it should be a native Wayland one";
    const std::string program = std::string(MURMELIN_BINARY_DIR) + "/platform/qt/murmelin";
    const std::string token = tokenPath();
    const struct Row {
        const char* what;
        bool accept;
    } rows[] = {{"consent given: pasted", true}, {"consent refused: copied and told", false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const pid_t answerer = answerConsent(row.accept);
        // Consent given at an earlier run: GNOME 43's portal (version 1) keeps no token, so
        // its dialog comes at each start.
        std::filesystem::create_directories(std::filesystem::path(token).parent_path());
        std::ofstream(token).flush();
        program_ = std::make_unique<Murmelin>(*session_);
        program_->start();
        ASSERT_TRUE(program_->running()) << program_->log();
        const std::string log = program_->log();
        EXPECT_NE(log.find("running on Xwayland (Qt's xcb"), std::string::npos) << log;
        EXPECT_EQ(log.find("running on Xwayland"), log.rfind("running on Xwayland"));
        EXPECT_EQ(log.find("offers no data-control"), std::string::npos) << "not so on Xwayland";
        ASSERT_TRUE(answered(30s)) << answers();
        const std::string answer = answers();
        EXPECT_NE(answer.find(row.accept ? "answered 0 " : "answered 1 "), std::string::npos)
            << answer;
        std::printf("GNOME consent dialog (%s): %s", row.what,
                    answer.substr(answer.find("answered")).c_str());
        ::kill(answerer, SIGTERM);
        // The dialog hands the focus back to the target.
        ASSERT_TRUE(DesktopSession::waitFor(
            [&] { return readFile(focus).value_or("").ends_with("in\n"); }, 5s));
        std::this_thread::sleep_for(500ms); // the program has had the portal's answer
        const std::string focusBefore = readFile(focus).value_or("");
        const std::string before = readFile(file).value_or("");

        double releasedMs = 0, textMs = 0;
        std::thread watcher;
        program_->useKeys(
            [&] {
                session_->run({program, "press"});
            },
            [&] {
                releasedMs = monotonicMs();
                session_->run({program, "release"});
                watcher = std::thread([&] {
                    if (DesktopSession::waitFor(
                            [&] { return readFile(file).value_or("") != before; }, 10s))
                        textMs = monotonicMs();
                });
            });
        const Seen seen = program_->dictate(session_->speak("hello new line world"),
                                            row.accept ? "gnome-pasted" : "gnome-copied");
        if (watcher.joinable())
            watcher.join();
        const auto traces = program_->traces();
        ASSERT_EQ(traces.size(), 1u) << program_->log();
        const std::string cleaned = traces.back().cleaned;
        ASSERT_FALSE(cleaned.empty());
        ASSERT_TRUE(seen.panel.has_value()) << "the panel was not in mutter's screenshots";
        EXPECT_EQ(*seen.panel, program_->expectedPanel());
        EXPECT_FALSE(seen.fills.empty());
        EXPECT_TRUE(seen.panelHidden);
        EXPECT_EQ(readFile(focus).value_or(""), focusBefore)
            << "the target lost the keyboard focus during the dictation";
        std::this_thread::sleep_for(400ms); // a second paste would have arrived by now
        if (row.accept) {
            const auto pastes = program_->events("paste");
            ASSERT_EQ(pastes.size(), 1u);
            EXPECT_TRUE(pastes.back().value("posted", false));
            EXPECT_EQ(pastes.back().value("chord", ""), "ctrl+v");
            EXPECT_EQ(readFile(file).value_or(""), before + cleaned)
                << "the text arrived exactly once, unaltered";
            ASSERT_GT(textMs, 0);
            std::printf("GNOME: release -> paste chord posted %.0f ms, -> text in Qt %.0f ms\n",
                        pastes.back().value("ms", 0.0) - releasedMs, textMs - releasedMs);
            EXPECT_TRUE(notified("Copied to clipboard").empty());
        } else {
            expectCopiedNotPasted(file, before, cleaned);
            EXPECT_FALSE(std::filesystem::exists(token)) << "a refusal is not asked again at start";
        }
        // The clipboard as an X client reads it on Xwayland, and as the Wayland target pastes
        // it (Control+V through mutter's own keyboard): mutter carries it from one to the other.
        EXPECT_EQ(session_->clipboard(), cleaned);
        const std::string pasted = readFile(file).value_or("");
        ASSERT_EQ(session_->run({kTools + "mutter_keys.py", "29,47"}).status, 0);
        EXPECT_TRUE(DesktopSession::waitFor(
            [&] { return readFile(file).value_or("") == pasted + cleaned; }, 5s))
            << readFile(file).value_or("");
        program_->stop();
    }
}

// With GNOME's AppIndicator extension (here a stand-in for its watcher) the icon is there with
// Qt on Xwayland too, and without consent its menu's Grant item brings GNOME's dialog.
TEST_F(GnomeEndToEndTest, TheTrayMenusGrantItemAsksGnomeForConsent) {
    static int argc = 1;
    static char name[] = "GnomeEndToEndTest";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    TrayWatcher watcher(session_->env("DBUS_SESSION_BUS_ADDRESS").value());
    ASSERT_TRUE(watcher.registered());
    std::filesystem::remove(tokenPath()); // never asked: no dialog at start
    const pid_t answerer = answerConsent(true);
    program_->start();
    ASSERT_TRUE(DesktopSession::waitFor([&] { return !watcher.items().empty(); }, 10s))
        << program_->log();
    const std::string item = watcher.items().front(), grant = "Grant Accessibility for Auto-Paste…";
    EXPECT_NE(trayMenuLayout(*session_, item).find("Hold Ctrl+Alt+Space to dictate"),
              std::string::npos);
    EXPECT_FALSE(answered(1s)) << "a dialog at start, unasked";
    ASSERT_TRUE(clickTrayMenuEntry(*session_, item, grant)) << trayMenuLayout(*session_, item);
    ASSERT_TRUE(answered(30s)) << answers();
    EXPECT_NE(answers().find("answered 0 "), std::string::npos) << answers();
    EXPECT_TRUE(DesktopSession::waitFor(
        [&] { return trayMenuLayout(*session_, item).find(grant) == std::string::npos; }, 5s))
        << "still not trusted after the consent";
    EXPECT_TRUE(std::filesystem::exists(tokenPath())) << "the consent is not kept";
    ::kill(answerer, SIGTERM);
}

} // namespace
