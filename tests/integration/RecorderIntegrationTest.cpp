// Real capture and real recognition: a private sound server whose default source is a virtual
// microphone (tests/support/DesktopSession), PulseAudio itself or PipeWire behind pipewire-pulse,
// the PulseAudio input, the pocketsphinx recogniser with Debian's en-US model, and the program's
// own Recorder.
#include "DesktopSession.h"
#include "LocalAuthorization.h"
#include "MainQueue.h"
#include "PulseAudioInput.h"
#include "Recorder.h"
#include "SphinxRecognizerFactory.h"
#include "WordErrorRate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace murmelin {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

const std::string kLibrivox = "/usr/share/pocketsphinx/test/data/librivox/";

// The words the recogniser got right, in order (reference words minus errors, roughly).
std::size_t wordsHeard(const std::string& reference, const std::string& transcript) {
    std::string lower = transcript;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    const WordErrors e = wordErrors(reference, lower);
    return e.referenceWords - e.substitutions - e.deletions;
}

// The session part of the sound server under test: "pulse" or "pipewire".
class RecorderIntegrationTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        session_ = std::make_unique<test::DesktopSession>(std::vector<std::string>{GetParam()});
        session_->apply();
    }

    bool onPipeWire() const { return GetParam() == "pipewire"; }

    // Signals the process our client talks to (PipeWire's core and session manager live on).
    void signalServer(int signal) const {
        for (const auto& [pid, name] : session_->processes()) {
            if (name == (onPipeWire() ? "pipewire-pulse" : "pulse")) {
                ::kill(pid, signal);
            }
        }
    }

    // Takes the virtual microphone away, as when the only microphone is unplugged.
    bool removeMicrophone() const {
        if (!onPipeWire()) {
            return session_->run({"pactl", "unload-module", "module-null-sink"}).status == 0;
        }
        // It is part of PipeWire's own configuration: no module to unload.
        return session_
                   ->run({"sh", "-c",
                          "exec pw-cli destroy $(pactl list short sinks | awk '$2 == \"vsink\" "
                          "{ print $1 }')"})
                   .status == 0;
    }

    // The record streams open on the server, one line each.
    std::size_t recordStreams() const {
        const auto out = session_->run({"pactl", "list", "short", "source-outputs"}).out;
        return static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
    }

    // The input alone: buffer sizes, the time of the first buffer and interruptions, as they
    // arrive on the capture thread.
    struct Captured {
        std::mutex mutex;
        std::vector<uint32_t> sizes;
        std::optional<Clock::time_point> first;
        std::vector<std::string> interruptions;

        void clear() {
            std::lock_guard lock(mutex);
            sizes.clear();
            first.reset();
            interruptions.clear();
        }
        std::size_t buffers() {
            std::lock_guard lock(mutex);
            return sizes.size();
        }
        std::vector<std::string> reasons() {
            std::lock_guard lock(mutex);
            return interruptions;
        }
    };
    void listen() {
        audio_.installTap(1024, [this](const AudioBuffer& buffer) {
            std::lock_guard lock(captured_.mutex);
            if (!captured_.first) {
                captured_.first = Clock::now();
            }
            captured_.sizes.push_back(buffer.frameLength);
            EXPECT_EQ(buffer.channelCount, 1u);
        });
        audio_.setOnInterrupted([this](std::string reason) {
            std::lock_guard lock(captured_.mutex);
            captured_.interruptions.push_back(std::move(reason));
        });
    }
    // Starts capturing afresh and waits for `buffers` buffers.
    bool capture(std::size_t buffers) {
        captured_.clear();
        audio_.start();
        return test::DesktopSession::waitFor([&] { return captured_.buffers() >= buffers; }, 3s);
    }

    std::unique_ptr<test::DesktopSession> session_;
    SteadyClock clock_;
    MainQueue main_{clock_};
    PulseAudioInput audio_;
    Captured captured_;
    LocalAuthorization authorization_{[this] { return audio_.accessRefused(); }};
    SphinxRecognizerFactory recognizers_;
    std::shared_ptr<Recorder> recorder_ =
        Recorder::make({authorization_, recognizers_, audio_, main_});
};

TEST_P(RecorderIntegrationTest, CaptureDeliversFullBuffersSoonAndFreesTheMicrophoneOnStop) {
    listen();
    const auto firstBuffer = [&](std::size_t buffers) {
        const auto started = Clock::now();
        EXPECT_TRUE(capture(buffers));
        audio_.stop();
        std::lock_guard lock(captured_.mutex);
        return captured_.first ? *captured_.first - started : Clock::duration::max();
    };
    // A freshly started null sink renders its first two-second block before it follows the
    // keep-awake reader's latency: the first capture of a session waits for that.
    firstBuffer(1);
    std::vector<Clock::duration> warm;
    for (int i = 0; i < 15; ++i) {
        warm.push_back(firstBuffer(i == 14 ? 8 : 1));
    }
    audio_.removeTap();
    std::sort(warm.begin(), warm.end() - 1);
    EXPECT_LT(warm[7], 300ms) << "median time from start() to the first buffer";
    EXPECT_TRUE(captured_.reasons().empty());
    std::lock_guard lock(captured_.mutex);
    EXPECT_GE(captured_.sizes.size(), 8u);
    // 1024 frames at 48 kHz, in 16 kHz frames; the first buffer holds what came first, the last
    // what was left at the stop.
    EXPECT_THAT(std::vector<uint32_t>(captured_.sizes.begin() + 1, captured_.sizes.end() - 1),
                ::testing::Each(341u));
    EXPECT_LE(captured_.sizes.front(), 341u);
    EXPECT_LE(captured_.sizes.back(), 341u);
    // Only the session's own keep-awake reader is still recording.
    EXPECT_EQ(recordStreams(), 1u);
}

TEST_P(RecorderIntegrationTest, WithoutAnInputDeviceStartSaysThereIsNoMicrophone) {
    ASSERT_TRUE(removeMicrophone());
    try {
        recorder_->start("en-US");
        FAIL() << "started without a microphone";
    } catch (const Recorder::Failure& failure) {
        EXPECT_EQ(failure.kind(), Recorder::Failure::Kind::engine);
        EXPECT_STREQ(failure.what(),
                     "No microphone: the default input device does not exist (No such entity)");
    }
}

TEST_P(RecorderIntegrationTest, AServerThatDiesWhileRecordingIsReportedAtTheNextStart) {
    recorder_->start("en-US");
    signalServer(SIGKILL);
    std::this_thread::sleep_for(200ms);
    std::optional<std::string> transcript;
    recorder_->stop([&](std::string text) { transcript = std::move(text); });
    EXPECT_TRUE(main_.runUntil([&] { return transcript.has_value(); }, 6.0));
    try {
        recorder_->start("en-US");
        FAIL() << "started without a sound server";
    } catch (const Recorder::Failure& failure) {
        EXPECT_EQ(failure.kind(), Recorder::Failure::Kind::engine);
        EXPECT_THAT(failure.what(), HasSubstr("Cannot connect to the sound server: "));
    }
}

// The capture ends by itself: the user is told once, what was heard before stays, stop() does
// not hang, and once the cause is gone the next start() records again.
TEST_P(RecorderIntegrationTest, CaptureCutShortIsReportedOnceAndTheNextStartRecords) {
    std::string usbmic; // the module of a second microphone, while there is one
    const auto plugIn = [&] {
        const auto loaded = session_->run({"pactl", "load-module", "module-null-sink",
                                           "sink_name=usbmic", "rate=16000", "channels=1"});
        usbmic = loaded.out.substr(0, loaded.out.find('\n'));
        session_->launch("usbmic-awake",
                         {"sh", "-c", "exec parec --latency-msec=10 -d usbmic.monitor >/dev/null"});
        EXPECT_TRUE(test::DesktopSession::waitFor(
            [&] {
                session_->run({"pactl", "set-default-source", "usbmic.monitor"});
                return session_->run({"pactl", "get-default-source"}).out == "usbmic.monitor\n";
            },
            5s));
    };
    const auto unplug = [&] {
        ASSERT_EQ(session_->run({"pactl", "unload-module", usbmic}).status, 0);
        session_->run({"pactl", "set-default-source", "vsink.monitor"});
    };
    struct Case {
        const char* what;
        std::function<void()> setUp; // before the capture starts
        std::function<void()> cut;   // while it runs
        const char* reason;          // expected; empty: none at all
        std::function<void()> mend;  // before the next start; none: the last case
    };
    const Case cases[] = {
        {"server killed", [] {}, [&] { signalServer(SIGKILL); },
         "The connection to the sound server was lost (Connection terminated).",
         [&] { ASSERT_TRUE(session_->restartSoundServer()); }},
        // Another microphone is left: the server moves the recording there without a word.
        {"one of two microphones removed", plugIn, unplug, "The microphone was disconnected.",
         [] {}},
        // A mixer moving the recording to another microphone is no interruption. (Last but one:
        // WirePlumber remembers the move for the streams of this program.)
        {"moved by a mixer", plugIn,
         [&] {
             std::istringstream lines(
                 session_->run({"pactl", "list", "short", "source-outputs"}).out);
             for (std::string line; std::getline(lines, line);) {
                 session_->run({"pactl", "move-source-output", line.substr(0, line.find('\t')),
                                "vsink.monitor"});
             }
         },
         "", unplug},
        {"the only microphone removed", [] {}, [&] { ASSERT_TRUE(removeMicrophone()); },
         "The microphone was disconnected.", nullptr},
    };
    listen();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.setUp();
        ASSERT_TRUE(capture(3)) << "no audio before the cut";
        c.cut();
        if (*c.reason) {
            EXPECT_TRUE(
                test::DesktopSession::waitFor([&] { return !captured_.reasons().empty(); }, 3s));
        }
        std::this_thread::sleep_for(300ms); // a second report would have come by now
        const auto before = Clock::now();
        audio_.stop();
        EXPECT_LT(Clock::now() - before, 500ms) << "stop() waited";
        const auto reasons = captured_.reasons();
        if (*c.reason) {
            EXPECT_THAT(reasons, ::testing::ElementsAre(c.reason));
        } else {
            EXPECT_THAT(reasons, ::testing::IsEmpty());
        }
        if (!c.mend) {
            break;
        }
        c.mend();
        EXPECT_TRUE(capture(3)) << "the next start() did not record";
        audio_.stop();
        EXPECT_THAT(captured_.reasons(), ::testing::IsEmpty());
    }
    audio_.removeTap();
}

// Voluntary context switches of this process's threads so far: a wake-up each.
long wakeUps() {
    long total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with("voluntary_ctxt_switches:")) {
                total += std::stol(line.substr(line.find(':') + 1));
            }
        }
    }
    return total;
}

// A server that stops answering during start(): start() gives up, and once the server wakes
// nothing of ours is left there, and nothing keeps waking this process.
TEST_P(RecorderIntegrationTest, AStalledServerLeavesNoStreamOpenAfterItWakes) {
    listen();
    ASSERT_TRUE(capture(1)); // connected, as after an earlier dictation
    audio_.stop();
    signalServer(SIGSTOP);
    const auto before = Clock::now();
    EXPECT_THROW(audio_.start(), EngineError);
    EXPECT_LT(Clock::now() - before, 2500ms);
    signalServer(SIGCONT);
    std::this_thread::sleep_for(500ms); // the server catches up with what it was sent
    EXPECT_EQ(recordStreams(), 1u) << "only the keep-awake reader may be recording";
    const long woken = wakeUps();
    std::this_thread::sleep_for(2s);
    EXPECT_LT(wakeUps() - woken, 20) << "this process keeps waking while idle";
    // The server is well again: the next start records.
    EXPECT_TRUE(capture(3));
    audio_.stop();
    audio_.removeTap();
}

// No sound server, then no model: start() fails at once with what the user is told.
TEST(RecorderWithoutServerOrModel, StartFailsWithTheCauseWithinBoundedTime) {
    const test::TempDir empty("no-models");
    SphinxRecognizerFactory::Options noModel;
    noModel.systemModelDirectory = noModel.userModelRoot = empty.path().string();
    struct Case {
        const char* what;
        std::optional<SphinxRecognizerFactory::Options> models; // none: the installed ones
        Recorder::Failure::Kind kind;
        const char* said; // empty: not checked
    };
    const Case cases[] = {
        {"no server", std::nullopt, Recorder::Failure::Kind::engine,
         "Cannot connect to the sound server: Connection refused"},
        {"no model", noModel, Recorder::Failure::Kind::unavailable, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SteadyClock clock;
        MainQueue main(clock);
        PulseAudioInput audio("unix:/nonexistent/murmelin/native");
        LocalAuthorization authorization([&] { return audio.accessRefused(); });
        SphinxRecognizerFactory recognizers(c.models.value_or(SphinxRecognizerFactory::Options{}));
        auto recorder = Recorder::make({authorization, recognizers, audio, main});
        try {
            recorder->start("en-US");
            ADD_FAILURE() << "started";
        } catch (const Recorder::Failure& failure) {
            EXPECT_EQ(failure.kind(), c.kind);
            if (*c.said) {
                EXPECT_STREQ(failure.what(), c.said);
            }
        }
        // The engine alone answers at once (the recorder's start also began loading the model).
        const auto began = Clock::now();
        EXPECT_THROW(audio.start(), EngineError);
        EXPECT_LT(Clock::now() - began, 2500ms);
        EXPECT_EQ(authorization.microphoneStatus(), AuthorizationStatus::authorized);
    }
}

// The recogniser's own threading, with the packaged model and no sound server.
class SphinxRecognizerTest : public ::testing::Test {
protected:
    struct Calls {
        std::mutex mutex;
        std::vector<RecognitionResult> results;
        int errors = 0;
        std::size_t count() {
            std::lock_guard lock(mutex);
            return results.size() + static_cast<std::size_t>(errors);
        }
        bool final() {
            std::lock_guard lock(mutex);
            return errors > 0 || (!results.empty() && results.back().isFinal);
        }
    };

    static RecognitionHandler record(Calls& calls) {
        return [&calls](std::optional<RecognitionResult> result,
                        std::optional<RecognitionError> error) {
            std::lock_guard lock(calls.mutex);
            if (result) {
                calls.results.push_back(*result);
            }
            calls.errors += error.has_value();
        };
    }

    // "go forward ten meters", 16 kHz, as float buffers of 1024 frames.
    static void feed(RecognitionRequest& request) {
        std::ifstream in("/usr/share/pocketsphinx/test/data/goforward.raw", std::ios::binary);
        std::vector<float> samples;
        for (int16_t s; in.read(reinterpret_cast<char*>(&s), sizeof s);) {
            samples.push_back(static_cast<float>(s) / 32768.0f);
        }
        feed(request, samples);
    }

    // With `drained`, each buffer waits until the decoder has taken all but two.
    static void feed(RecognitionRequest& request, const std::vector<float>& samples,
                     bool drained = false) {
        for (std::size_t at = 0; at < samples.size(); at += 1024) {
            while (drained && static_cast<SphinxRequest&>(request).pending() > 2048) {
                std::this_thread::sleep_for(1ms);
            }
            const float* channels[] = {samples.data() + at};
            request.append(AudioBuffer{
                channels, 1,
                static_cast<uint32_t>(std::min<std::size_t>(1024, samples.size() - at))});
        }
    }

    SphinxRecognizerFactory factory_{SphinxRecognizerFactory::Options{
        systemModelDirectory(), "", {}, "en-US", {}, ModelCheckOptions{}}};
};

// A cancelled dictation reports nothing after cancel() returns and frees the decoder; a new
// dictation ends the audio of one never stopped, and both get finals after partials.
TEST_F(SphinxRecognizerTest, CancelIsFinalAndANewDictationEndsTheOneBefore) {
    auto recognizer = factory_.make("en-US");
    ASSERT_TRUE(recognizer && recognizer->isAvailable());
    Calls cancelled, first, second;
    auto request0 = recognizer->makeRequest();
    auto task0 = recognizer->recognitionTask(request0, record(cancelled));
    feed(*request0);
    std::this_thread::sleep_for(150ms); // mid-decoding
    task0->cancel();
    const std::size_t atCancel = cancelled.count();
    request0->endAudio();

    auto request1 = recognizer->makeRequest();
    auto task1 = recognizer->recognitionTask(request1, record(first));
    feed(*request1); // no endAudio(): its recording was never stopped
    auto request2 = recognizer->makeRequest();
    auto task2 = recognizer->recognitionTask(request2, record(second));
    feed(*request2);
    request2->endAudio();
    ASSERT_TRUE(test::DesktopSession::waitFor([&] { return second.final(); }, 20s));
    ASSERT_TRUE(first.final());
    EXPECT_EQ(cancelled.count(), atCancel);
    EXPECT_THAT(first.results.back().formattedString, HasSubstr("forward"));
    EXPECT_THAT(second.results.back().formattedString, HasSubstr("forward"));
    EXPECT_GT(second.results.size(), 1u);
    EXPECT_FALSE(second.results.front().isFinal);
}

// pipewire-pulse takes no cookies and never refuses a client: these run on PulseAudio alone.
using PulseAudioOnlyTest = RecorderIntegrationTest;

// A refusal is no verdict for good: every press asks again, and access granted since counts.
TEST_P(PulseAudioOnlyTest, ARefusedMicrophoneIsAskedForAgainAtTheNextPress) {
    // A second door into the same server that wants a cookie; ours is wrong at first.
    const std::string server = session_->dir() + "/server-cookie",
                      client = session_->dir() + "/client-cookie";
    for (const auto& file : {server, client}) {
        ASSERT_EQ(session_->run({"sh", "-c", "head -c 256 /dev/urandom >'" + file + "'"}).status,
                  0);
    }
    const std::string port = std::to_string(20000 + ::getpid() % 20000);
    ASSERT_EQ(session_
                  ->run({"pactl", "load-module", "module-native-protocol-tcp", "port=" + port,
                         "listen=127.0.0.1", "auth-anonymous=0", "auth-cookie=" + server})
                  .status,
              0);
    ::setenv("PULSE_COOKIE", client.c_str(), 1);
    PulseAudioInput audio("tcp:127.0.0.1:" + port);
    LocalAuthorization authorization([&] { return audio.accessRefused(); });
    auto recorder = Recorder::make({authorization, recognizers_, audio, main_});
    const auto press = [&]() -> std::optional<Recorder::Failure::Kind> {
        try {
            recorder->start("en-US");
        } catch (const Recorder::Failure& failure) {
            return failure.kind();
        }
        bool done = false;
        recorder->stop([&](std::string) { done = true; });
        EXPECT_TRUE(main_.runUntil([&] { return done; }, 6.0));
        return std::nullopt;
    };
    EXPECT_EQ(press(), Recorder::Failure::Kind::engine); // the server's "Access denied"
    EXPECT_EQ(authorization.microphoneStatus(), AuthorizationStatus::denied);
    EXPECT_EQ(press(), Recorder::Failure::Kind::notAuthorized);
    ASSERT_EQ(session_->run({"cp", server, client}).status, 0); // access granted
    EXPECT_EQ(authorization.microphoneStatus(), AuthorizationStatus::authorized);
    EXPECT_EQ(press(), std::nullopt) << "still refused after access was granted";
    ::unsetenv("PULSE_COOKIE");
}

INSTANTIATE_TEST_SUITE_P(SoundServers, RecorderIntegrationTest,
                         ::testing::Values("pulse", "pipewire"),
                         [](const auto& info) { return info.param; });
INSTANTIATE_TEST_SUITE_P(SoundServers, PulseAudioOnlyTest, ::testing::Values("pulse"),
                         [](const auto& info) { return info.param; });

long residentKb() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("VmRSS:"))
            return std::stol(line.substr(6));
    return -1;
}

// A long dictation is decoded in pieces cut at its pauses: the final comes about as soon after
// the end of the audio as for a short one (as one decoder utterance, 120 s of it took 4-7 s on
// a loaded 2-core machine), with nothing lost where the pieces meet. And the search's tables,
// which grow with the decoder's utterance and are kept at their largest, leave the program
// near the size a 30 s dictation left it (as one utterance, 90 s left 17 MB more; in pieces,
// 2.7-4 MB).
TEST_F(SphinxRecognizerTest, ALongDictationsFinalComesSoonAndItLeavesTheSizeAsItWas) {
    auto recognizer = factory_.make("en-US");
    ASSERT_TRUE(recognizer && recognizer->isAvailable());
    // The five LibriVox clips (16 kHz 16-bit WAV, 44-byte header) over and over.
    std::vector<std::pair<std::string, std::string>> clips; // file, words
    std::ifstream list(kLibrivox + "transcription");
    for (std::string line; std::getline(list, line);) {
        const auto open = line.rfind('('), close = line.rfind(')');
        if (open != std::string::npos && close > open) {
            const std::string words = line.substr(0, open);
            const auto from = words.find("<s>") + 3; // the words between "<s>" and "</s>"
            clips.emplace_back(line.substr(open + 1, close - open - 1),
                               words.substr(from, words.find("</s>") - from));
        }
    }
    ASSERT_EQ(clips.size(), 5u);
    const auto speech = [&](double seconds, std::string& reference) {
        std::vector<float> samples;
        for (std::size_t i = 0; samples.size() < seconds * 16000; ++i) {
            std::ifstream in(kLibrivox + clips[i % 5].first + ".wav", std::ios::binary);
            in.seekg(44);
            for (int16_t s; in.read(reinterpret_cast<char*>(&s), sizeof s);)
                samples.push_back(static_cast<float>(s) / 32768.0f);
            reference += " " + clips[i % 5].second;
        }
        return samples;
    };
    const auto dictate = [&](const std::vector<float>& samples) {
        Calls calls;
        auto request = recognizer->makeRequest();
        auto task = recognizer->recognitionTask(request, record(calls));
        feed(*request, samples, true);
        const auto ended = Clock::now();
        request->endAudio();
        EXPECT_TRUE(test::DesktopSession::waitFor([&] { return calls.final(); }, 60s));
        const auto late = Clock::now() - ended;
        EXPECT_LT(late, 2s) << std::chrono::duration<double>(late).count() << " s";
        std::lock_guard lock(calls.mutex);
        return calls.results.empty() ? std::string() : calls.results.back().formattedString;
    };
    std::string ignored, reference;
    ASSERT_FALSE(dictate(speech(30, ignored)).empty());
    const long afterShort = residentKb();
    const std::string text = dictate(speech(120, reference));
    [[maybe_unused]] const long grown = residentKb() - afterShort;
    // About three in four words right, as for the clips one by one.
    EXPECT_GE(wordsHeard(reference, text), splitWords(reference).size() * 6 / 10) << text;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) // their memory hides ours
    EXPECT_LT(grown, 8 * 1024) << "resident size grew by " << grown << " kB";
#endif
}

} // namespace
} // namespace murmelin
