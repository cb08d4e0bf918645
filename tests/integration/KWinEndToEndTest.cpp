// The whole road of a dictation on a headless KWin: the hot key through the GlobalShortcuts
// portal (bound with its session, as Plasma 5.27 wants), the text into a Qt window through the
// RemoteDesktop portal's keyboard, the clipboard through data-control. The keys come from a second
// portal session (tools/portal_keys.py): KWin has no virtual-keyboard protocol. The panel is seen
// in KWin's screenshots (tools/kwin_shot), the active window told by a KWin script.
#include "EndToEnd.h"

#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <fstream>

using namespace murmelin::test;

namespace {

class KWinEndToEndTest : public EndToEndFixture {
public:
    static void SetUpTestSuite() { session_ = new DesktopSession({"kwin", "notify", "pulse"}); }

    size_t portalSessions() const { return notified("Remote control session started").size(); }
};

TEST_F(KWinEndToEndTest, DictationPastesThroughThePortalOnceConsentIsKept) {
    const std::string dir = session_->dir();
    const std::string token = tokenPath();
    const std::string keys =
        std::string(MURMELIN_SOURCE_DIR) + "/tests/integration/tools/portal_keys.py";
    const struct Row {
        const char* what;
        bool consentKept; // from an earlier run: the session starts unasked
        std::string target, activeClass, chord;
    } rows[] = {
        {"no consent yet: copied and told", false, "target_window", "target_window", ""},
        {"consent kept: pasted", true, "target_window", "target_window", "ctrl+v"},
        // A shell reading raw input writes what the terminal receives; icrnl turns the
        // Return Konsole sends for a line break back into one.
        {"consent kept, Konsole: its chord", true, "konsole", "org.kde.konsole", "ctrl+shift+v"},
    };
    std::string file, target;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.target != target) {
            target = row.target;
            file = dir + "/" + target + ".txt";
            session_->launch(target, target == "konsole"
                                         ? std::vector<std::string>{"konsole", "--separate",
                                                                    "--nofork", "-e", "sh", "-c",
                                                                    "stty raw icrnl -echo; exec "
                                                                    "cat > '" +
                                                                        file + "'"}
                                         : std::vector<std::string>{session_->tool(target), file});
            ASSERT_TRUE(DesktopSession::waitFor([&] { return readFile(file).has_value(); }, 10s));
            ASSERT_TRUE(DesktopSession::waitFor(
                [&] { return session_->focusedAppId() == row.activeClass; }, 10s))
                << "active: " << session_->focusedAppId();
        }
        std::filesystem::remove(token);
        if (row.consentKept) {
            std::filesystem::create_directories(std::filesystem::path(token).parent_path());
            std::ofstream(token).flush(); // KWin's portal (version 1) has no token: empty
        }
        program_ = std::make_unique<Murmelin>(*session_);
        const size_t sessionsBefore = portalSessions();
        program_->start();
        ASSERT_TRUE(program_->running()) << program_->log();
        if (row.consentKept) {
            ASSERT_TRUE(
                DesktopSession::waitFor([&] { return portalSessions() > sessionsBefore; }, 10s))
                << "the kept consent did not start the portal's session";
        }
        // The portal's answer came within the start's second.
        ASSERT_FALSE(program_->events("ready").empty());
        EXPECT_EQ(program_->events("ready").front().value("hot_key", ""), "bound");
        EXPECT_EQ(program_->log().find("gave it no keys"), std::string::npos)
            << "the portal bound nothing, kglobalaccel stood in:\n"
            << program_->log();
        EXPECT_FALSE(program_->panel()) << "the probe sees a panel before the key";
        const std::string before = readFile(file).value_or("");
        const pid_t holder = session_->launch("keys", {keys, "29,56,57"}); // Ctrl+Alt+Space
        ASSERT_TRUE(DesktopSession::waitFor(
            [&] { return !program_->events("recognition_started").empty(); }, 10s))
            << "the chord held through the portal reached no global shortcut";
        // The panel in KWin's own screenshot (layer-shell, no focus taken), the key still held.
        const double shotFrom = monotonicMs();
        EXPECT_TRUE(DesktopSession::waitFor([&] { return program_->panel().has_value(); }, 3s))
            << "no panel in KWin's screenshot while the key is held";
        std::printf("KWin ScreenShot2 panel probe: seen %.0f ms after recognition started\n",
                    monotonicMs() - shotFrom);
        EXPECT_EQ(session_->focusedAppId(), row.activeClass) << "the panel took the focus";
        session_->play(session_->speak("hello new line world"));
        ::kill(holder, SIGTERM);
        ASSERT_TRUE(DesktopSession::waitFor([&] { return !program_->traces().empty(); }, 10s));
        const std::string cleaned = program_->traces().back().cleaned;
        ASSERT_FALSE(cleaned.empty());
        if (row.consentKept) {
            ASSERT_TRUE(
                DesktopSession::waitFor([&] { return readFile(file).value_or("") != before; }, 5s));
            const double seenMs = monotonicMs();
            const auto pastes = program_->events("paste");
            ASSERT_EQ(pastes.size(), 1u);
            EXPECT_EQ(pastes.back().value("chord", ""), row.chord);
            std::printf("KWin portal paste into %s: chord posted -> text there within %.0f ms\n",
                        target.c_str(), seenMs - pastes.back().value("ms", 0.0));
            std::this_thread::sleep_for(400ms); // a second paste would have arrived by now
            EXPECT_EQ(readFile(file).value_or(""), before + cleaned);
        } else {
            expectCopiedNotPasted(file, before, cleaned);
        }
        EXPECT_EQ(session_->clipboard(), cleaned);
        EXPECT_TRUE(DesktopSession::waitFor([&] { return !program_->panel(); }, 6s));
        program_->stop();
    }
}

} // namespace
