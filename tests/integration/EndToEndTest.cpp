// The whole road of a dictation through the real program on a private desktop: keys held
// through XTest, speech played into the virtual microphone, and what a person would see
// afterwards in the panel, the focused application, the clipboard, the tray menu and the
// defaults file. Screenshots go to <build>/artifacts/.
#include "EndToEnd.h"
#include "Fakes.h"
#include "VerboseTrace.h"
#include "WordErrorRate.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

using namespace murmelin;
using namespace murmelin::test;

namespace {

using EndToEndTest = EndToEndFixture;

// The channel these tests read: whatever the recogniser and the cleaner produce comes back
// exactly, one line per event however the text is quoted or broken.
TEST(VerboseTraceTest, TranscriptsRoundTripThroughTheirLinesExactly) {
    struct Case {
        std::string text, read; // what the recogniser and the cleaner gave, what the line gives
    };
    const Case cases[] = {
        {"say \"hi\" \\ \\\" done\\", "say \"hi\" \\ \\\" done\\"},
        {"hello\nworld\n\n", "hello\nworld\n\n"},
        {"a\\nb\ttab\r\ncrlf", "a\\nb\ttab\r\ncrlf"},
        {"\u2022 na\u00efve \u65e5\u672c\u8a9e \U0001F600",
         "\u2022 na\u00efve \u65e5\u672c\u8a9e \U0001F600"},
        {"{\"event\":\"transcript\",\"raw\":\"x\"}", "{\"event\":\"transcript\",\"raw\":\"x\"}"},
        {"cut \xE2\x80 off", "cut \uFFFD off"}, // not UTF-8: marked, and the program goes on
    };
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    murmelin::testing::FakeRecognizerFactory recognizers;
    recognizers.byLocale["en-US"] = std::make_shared<murmelin::testing::FakeRecognizer>();
    murmelin::testing::FakeClipboard clipboard;
    ManualClock clock;
    murmelin::testing::FakeKeyInjector keys(clock);
    {
        VerboseTrace trace(recognizers, clipboard, keys, fds[1]);
        const auto recognizer = trace.recognizers().make("en-US");
        for (const auto& c : cases) {
            recognizer->recognitionTask(recognizer->makeRequest(), [](auto, auto) {});
            recognizers.byLocale["en-US"]->lastTask()->final(c.text);
            trace.clipboard().setString(c.text + "!");
        }
        EXPECT_TRUE(trace.keys().postPaste(PasteChord::controlShiftV));
    }
    ::close(fds[1]);
    std::string log;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        log.append(buffer, size_t(n));
    ::close(fds[0]);

    const size_t n = std::size(cases);
    EXPECT_EQ(size_t(std::count(log.begin(), log.end(), '\n')), 2 * n + 1)
        << "one line per event:\n"
        << log;
    const auto lines = transcripts(log);
    ASSERT_EQ(lines.size(), n) << log;
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(lines[i].raw, cases[i].read);
        EXPECT_EQ(lines[i].cleaned, cases[i].read + "!");
        EXPECT_EQ(clipboard.writes[i], cases[i].text + "!") << "the clipboard gets the text itself";
        EXPECT_LE(lines[i].startMs, lines[i].clipboardMs);
    }
    const auto pastes = traceEvents(log, "paste");
    ASSERT_EQ(pastes.size(), 1u);
    EXPECT_EQ(pastes[0]["chord"], "ctrl+shift+v");
    EXPECT_EQ(keys.pastes.size(), 1u);
}

TEST_F(EndToEndTest, DictationIntoTheQtWindowWithRealSpeechAndSpokenCommands) {
    const std::string file = session_->launchTargetWindow();
    program_->start();
    auto read = [&] { return readFile(file).value_or(""); };

    Seen seen = program_->dictate(librivox("0880"), "qt-librivox");
    expectDelivered(read, "", seen, 1);
    const auto first = program_->traces().back();
    EXPECT_LE(wordErrors(librivoxReference("0880"), lower(first.raw)).rate(), 0.5) << first.raw;

    // Spoken commands the recogniser hears right from flite's rms voice.
    struct Phrase {
        const char* spoken;
        const char* raw;
        const char* cleaned;
    };
    const Phrase phrases[] = {
        {"bullet point buy milk and bread", "bullet point buy milk and bread",
         "\u2022 buy milk and bread"},
        {"hello new line world", "hello new line world", "hello\nworld"},
        {"open quote hello close quote", "open quote hello close quote", "\"hello\""}};
    size_t n = 1;
    for (const auto& p : phrases) {
        SCOPED_TRACE(p.spoken);
        const std::string before = read();
        seen = program_->dictate(session_->speak(p.spoken), "qt-phrase" + std::to_string(n));
        expectDelivered(read, before, seen, ++n);
        EXPECT_EQ(lower(program_->traces().back().raw), p.raw);
        EXPECT_EQ(lower(program_->traces().back().cleaned), p.cleaned);
    }

    // The tray menu's first history row is the newest transcript: choosing it copies it again.
    session_->run({"sh", "-c", "printf other | xclip -selection clipboard -i"});
    ASSERT_EQ(session_->clipboard(), "other");
    ASSERT_TRUE(program_->chooseMenuRow(1)) << "no tray icon";
    EXPECT_TRUE(
        DesktopSession::waitFor([&] { return lower(session_->clipboard()) == "\"hello\""; }, 2s))
        << "the first history row did not copy the newest transcript";
}

TEST_F(EndToEndTest, DictationIntoMousepadAndIntoATerminal) {
    program_->start();
    // mousepad: read back by saving its buffer.
    const std::string text = session_->dir() + "/mousepad.txt";
    std::ofstream(text).close();
    const pid_t editor = session_->launch("mousepad", {"mousepad", text});
    ASSERT_TRUE(
        DesktopSession::waitFor([&] { return session_->activeWindowPid() == editor; }, 10s));
    std::this_thread::sleep_for(500ms);
    Seen seen = program_->dictate(session_->speak("hello new line world"), "mousepad");
    auto saved = [&] {
        session_->run({"xdotool", "key", "ctrl+s"});
        std::this_thread::sleep_for(150ms);
        return readFile(text).value_or("");
    };
    expectDelivered(saved, "", seen, 1);

    // lxterminal pastes with Control+Shift+V; the shell in it writes what it receives, raw.
    const std::string typed = session_->dir() + "/terminal.txt";
    session_->launch("lxterminal",
                     {"lxterminal", "-e", "sh", "-c", "stty raw -echo; exec cat > " + typed});
    ASSERT_TRUE(DesktopSession::waitFor([&] { return std::filesystem::exists(typed); }, 10s));
    std::this_thread::sleep_for(500ms);
    seen = program_->dictate(session_->speak("open quote hello close quote"), "terminal");
    expectDelivered([&] { return readFile(typed).value_or(""); }, "", seen, 2);
}

TEST_F(EndToEndTest, SilenceReleasedAtOnceDeliversNothing) {
    const std::string file = session_->launchTargetWindow();
    program_->start();
    session_->run({"sh", "-c", "printf before | xclip -selection clipboard -i"});
    const Seen seen = program_->dictate("", "silence");
    EXPECT_TRUE(seen.panel.has_value());
    EXPECT_TRUE(seen.panelHidden);
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(program_->traces().empty());
    EXPECT_EQ(program_->events("recognition_started").size(), 1u) << "the press was not taken";
    EXPECT_TRUE(program_->events("paste").empty());
    EXPECT_EQ(readFile(file).value_or("?"), "");
    EXPECT_EQ(session_->clipboard(), "before");
    EXPECT_TRUE(storedHistory(*session_).empty());
}

} // namespace
