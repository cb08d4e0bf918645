// The real program across many dictations, a missing sound server and a restart: what it
// keeps (history, language) and what it tells the user.
#include "EndToEnd.h"

#include <gtest/gtest.h>

#include <fstream>
#include <utility>

using namespace murmelin;
using namespace murmelin::test;

namespace {

using EndToEndStateTest = EndToEndFixture;

// The same on each sound server ("pulse", "pipewire"), with a session of its own.
class EndToEndSoundServerTest : public EndToEndFixture,
                                public ::testing::WithParamInterface<std::string> {
public:
    static void SetUpTestSuite() {}
    static void TearDownTestSuite() {}
    void SetUp() override {
        session_ =
            new DesktopSession({"x11", "dbus", "wm", "compositor", "tray", "notify", GetParam()});
        EndToEndFixture::SetUp();
    }
    void TearDown() override {
        EndToEndFixture::TearDown();
        delete std::exchange(session_, nullptr);
    }
};

TEST_P(EndToEndSoundServerTest, WithoutASoundServerOneNotificationAndLaterPressesWork) {
    const std::string file = session_->launchTargetWindow();
    program_->start();
    // The server the program talks to (PipeWire's core and session manager live on).
    const std::string server = GetParam() == "pipewire" ? "pipewire-pulse" : "pulse";
    for (const auto& [pid, name] : session_->processes())
        if (name == server || name == "pulse-awake")
            ::kill(pid, SIGTERM);
    const std::string socket = session_->env("PULSE_RUNTIME_PATH").value() + "/native";
    ASSERT_TRUE(DesktopSession::waitFor([&] { return !std::filesystem::exists(socket); }, 5s));

    const auto before = session_->notifications().size();
    session_->pressHotKey();
    const bool panelShown =
        DesktopSession::waitFor([&] { return program_->panel().has_value(); }, 1s);
    session_->releaseHotKey();
    EXPECT_TRUE(
        DesktopSession::waitFor([&] { return session_->notifications().size() > before; }, 3s));
    std::this_thread::sleep_for(300ms);
    const auto all = session_->notifications();
    ASSERT_EQ(all.size(), before + 1);
    EXPECT_EQ(all.back().appName, "Murmelin");
    EXPECT_EQ(all.back().summary, "Murmelin");
    EXPECT_FALSE(all.back().body.empty());
    EXPECT_FALSE(panelShown);
    EXPECT_TRUE(program_->running());

    // The server comes back (as session.sh starts it); the next press records.
    ASSERT_TRUE(session_->restartSoundServer());
    std::this_thread::sleep_for(500ms);
    const Seen seen =
        program_->dictate(session_->speak("hello new line world"), "after-server-back");
    expectDelivered([&] { return readFile(file).value_or(""); }, "", seen, 1);
}

INSTANTIATE_TEST_SUITE_P(SoundServers, EndToEndSoundServerTest,
                         ::testing::Values("pulse", "pipewire"),
                         [](const auto& info) { return info.param; });

TEST_F(EndToEndStateTest, TenDictationsThenARestartKeepHistoryAndLanguage) {
    // The language chosen earlier, as the menu would have stored it.
    std::filesystem::create_directories(
        std::filesystem::path(defaultsPath(*session_)).parent_path());
    std::ofstream(defaultsPath(*session_)) << R"({"locale": "en-US"})";
    const std::string file = session_->launchTargetWindow();
    program_->start();
    // Short phrases the recogniser hears as words (single words are often heard as nothing).
    const char* words[] = {"hello world",   "go forward",  "good morning", "thank you",
                           "open the door", "very good",   "yes please",   "ten meters",
                           "good night",    "hello again", "see you later"};
    std::vector<std::string> cleaned;
    for (const char* w : words) {
        program_->dictate(session_->speak(w), "ten");
        DesktopSession::waitFor([&] { return program_->traces().size() > cleaned.size(); }, 3s);
        const auto traces = program_->traces();
        ASSERT_EQ(traces.size(), cleaned.size() + 1) << "nothing delivered for \"" << w << "\"";
        cleaned.insert(cleaned.begin(), traces.back().cleaned);
    }
    cleaned.resize(10); // newest first, the oldest fell off
    EXPECT_EQ(storedHistory(*session_), cleaned);
    EXPECT_EQ(stored<std::string>(*session_, "locale"), "en-US");

    // The tenth history row of the menu is the oldest one kept.
    ASSERT_TRUE(program_->chooseMenuRow(10));
    EXPECT_TRUE(DesktopSession::waitFor([&] { return session_->clipboard() == cleaned[9]; }, 2s))
        << session_->clipboard();

    program_->stop();
    program_->start();
    EXPECT_EQ(storedHistory(*session_), cleaned);
    EXPECT_EQ(stored<std::string>(*session_, "locale"), "en-US");
    ASSERT_TRUE(program_->chooseMenuRow(1));
    EXPECT_TRUE(DesktopSession::waitFor([&] { return session_->clipboard() == cleaned[0]; }, 2s))
        << "the restarted program's menu lost the history";
    program_->dictate(session_->speak("hello new line world"), "after-restart");
    ASSERT_TRUE(DesktopSession::waitFor(
        [&] { return lower(storedHistory(*session_).front()) == "hello\nworld"; }, 3s));
    const auto after = storedHistory(*session_);
    EXPECT_EQ(std::vector<std::string>(after.begin() + 1, after.end()),
              std::vector<std::string>(cleaned.begin(), cleaned.begin() + 9));
    EXPECT_EQ(stored<std::string>(*session_, "locale"), "en-US");
}

} // namespace
