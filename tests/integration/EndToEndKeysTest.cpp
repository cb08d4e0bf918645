// How people really hold and let go of Control+Alt+Space, through the real program: letting go
// of Control first, holding long enough for auto-repeat, pressing again before the previous
// transcript has arrived.
#include "EndToEnd.h"

#include <gtest/gtest.h>

using namespace murmelin;
using namespace murmelin::test;

namespace {

using EndToEndKeysTest = EndToEndFixture;

TEST_F(EndToEndKeysTest, ControlLetGoFirstAfterAutoRepeatGivesOnePasteAndNoStuckKey) {
    const std::string file = session_->launchTargetWindow();
    program_->start();
    auto read = [&] { return readFile(file).value_or(""); };
    // Held 1.5 s past the end of the clip: Xvfb repeats Space after 660 ms, 25 times a second.
    const Seen seen = program_->dictate(session_->speak("hello new line world"), "control-first",
                                        LetGo::controlFirst, 1500);
    expectDelivered(read, "", seen, 1);
    EXPECT_EQ(session_->keysDown(), std::vector<int>{}) << "a key is still down after the paste";

    // The modifiers released and pressed again around the paste are not left behind either: a
    // plain key typed now arrives as itself.
    session_->run({"xdotool", "type", "x"});
    EXPECT_TRUE(DesktopSession::waitFor([&] { return lower(read()) == "hello\nworldx"; }, 2s))
        << read();
}

TEST_F(EndToEndKeysTest, PressWhileTheLastTranscriptIsAwaitedLosesNothingKept) {
    const std::string file = session_->launchTargetWindow();
    program_->start();
    auto read = [&] { return readFile(file).value_or(""); };
    const std::string first = session_->speak("hello new line world");
    const std::string second = session_->speak("open quote hello close quote");

    session_->pressHotKey();
    std::this_thread::sleep_for(300ms);
    session_->play(first);
    // Let go and press again at once: the first transcript is still awaited.
    session_->keyUp("space"), session_->keyDown("space");
    // The panel shows again, and the first completion hides it, as designed, even while the
    // second recording goes on: its presence is no sign of anything here.
    std::this_thread::sleep_for(300ms);
    session_->play(second);
    session_->releaseHotKey();
    EXPECT_TRUE(DesktopSession::waitFor([&] { return !program_->panel(); }, 6s));
    std::this_thread::sleep_for(4500ms); // past the recorder's 4 s timeout

    // The first dictation's transcript is delivered once, whole: what the pending completion
    // receives. The second recording's audio may be cut off when the first result ends it.
    const auto traces = program_->traces();
    ASSERT_GE(traces.size(), 1u);
    EXPECT_LE(traces.size(), 2u);
    EXPECT_EQ(lower(traces.front().cleaned), "hello\nworld");
    // Every delivered transcript arrives once, in order: one that completed while the key
    // was held again is pasted right after the release.
    std::string all;
    for (const auto& t : traces)
        all += t.cleaned;
    EXPECT_EQ(read(), all);
    EXPECT_EQ(session_->clipboard(), traces.back().cleaned);
    const auto history = storedHistory(*session_);
    ASSERT_EQ(history.size(), traces.size());
    EXPECT_EQ(lower(history.back()), "hello\nworld");
    EXPECT_EQ(session_->keysDown(), std::vector<int>{});

    // The program is ready for the next dictation.
    const std::string before = read();
    const Seen seen = program_->dictate(second, "after-overlap");
    expectDelivered(read, before, seen, traces.size() + 1);
}

} // namespace
