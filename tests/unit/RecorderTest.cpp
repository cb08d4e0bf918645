#include "Recorder.h"
#include "Fakes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace murmelin;
using namespace murmelin::testing;
using Kind = Recorder::Failure::Kind;
using Strings = std::vector<std::string>;

namespace {

struct RecorderTest : ::testing::Test {
    ManualClock clock;
    MainQueue queue{clock};
    FakeAuthorization auth;
    FakeRecognizerFactory factory;
    FakeAudioInput engine;
    std::shared_ptr<FakeRecognizer> recognizer = std::make_shared<FakeRecognizer>();
    std::vector<float> levels;
    Strings done; // texts handed to completions, tagged "name:text"
    std::shared_ptr<Recorder> recorder;

    void SetUp() override {
        factory.byLocale["en-US"] = recognizer;
        recorder = Recorder::make({auth, factory, engine, queue});
        recorder->setOnLevel([this](float level) { levels.push_back(level); });
    }
    std::function<void(std::string)> completion(std::string name) {
        return [this, name](std::string text) { done.push_back(name + ":" + text); };
    }
    std::shared_ptr<FakeTask> task() { return recognizer->lastTask(); }
    void deliver(void (*send)(FakeTask&)) {
        send(*task());
        drain(queue);
    }
    Recorder::Failure startFailure() {
        try {
            recorder->start("en-US");
        } catch (const Recorder::Failure& failure) {
            return failure;
        }
        ADD_FAILURE() << "start() did not throw";
        return Recorder::Failure::unavailable();
    }
};

TEST(RecorderLevel, FollowsDecibelsOfTheFirstChannel) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Row {
        const char* name;
        TestBuffer buffer;
        float expected;
    } rows[] = {
        {"silence", TestBuffer::constant(0.0f, 1024), 0.0f},
        {"no frames", TestBuffer::constant(1.0f, 0), 0.0f},
        {"full scale", TestBuffer::constant(1.0f, 1024), 1.0f},
        {"-6 dB", TestBuffer::constant(0.5f, 1024), 0.87959f},
        {"-6 dB alternating", TestBuffer({{0.5f, -0.5f, 0.5f, -0.5f}}), 0.87959f},
        {"-20 dB", TestBuffer::constant(0.1f, 1024), 0.6f},
        {"-40 dB", TestBuffer::constant(0.01f, 1024), 0.2f},
        {"-50 dB", TestBuffer::constant(0.00316f, 1024), 0.0f},
        {"quieter", TestBuffer::constant(0.001f, 1024), 0.0f},
        {"clipping", TestBuffer::constant(3.0f, 512), 1.0f},
        {"not a number", TestBuffer({{0.1f, nan, 0.1f}}), 1.0f},
        {"loud second channel",
         TestBuffer({std::vector<float>(256, 0.0f), std::vector<float>(256, 1.0f)}), 0.0f},
        {"odd length", TestBuffer::constant(0.1f, 333), 0.6f},
    };
    for (const auto& row : rows)
        EXPECT_NEAR(Recorder::level(row.buffer.view()), row.expected, 1e-5f) << row.name;
}

TEST(RecorderFailure, DescriptionsAreTheSentencesShownToTheUser) {
    const std::pair<Recorder::Failure, const char*> rows[] = {
        {Recorder::Failure::notAuthorized(),
         "Microphone or Speech Recognition access is not granted."},
        {Recorder::Failure::unavailable(), "Speech recognizer is unavailable."},
        {Recorder::Failure::onDeviceUnsupported(),
         "On-device recognition isn't available for this language."},
    };
    for (const auto& [failure, text] : rows) {
        EXPECT_EQ(failure.errorDescription(), text);
        EXPECT_STREQ(failure.what(), text);
    }
    auto error = std::make_shared<const EngineError>("No such entity");
    const Recorder::Failure engineFailure = Recorder::Failure::engine(error);
    const Recorder::Failure copy = engineFailure;
    EXPECT_EQ(copy.kind(), Kind::engine);
    EXPECT_EQ(copy.errorDescription(), "No such entity");
    EXPECT_EQ(copy.engineError(), error); // shared, not duplicated
}

TEST_F(RecorderTest, StartTestsPermissionsThenRecogniserInOrderAndChangesNothingOnFailure) {
    using S = AuthorizationStatus;
    const Strings checks = {"speechStatus", "microphoneStatus", "make en-US"};
    struct Row {
        S speech, microphone;
        bool hasRecognizer, available, onDevice;
        Kind kind;
        std::size_t asked; // how many of `checks`, in order
    } rows[] = {
        {S::denied, S::authorized, true, true, true, Kind::notAuthorized, 1},
        {S::notDetermined, S::denied, true, true, true, Kind::notAuthorized, 1},
        {S::authorized, S::restricted, true, true, true, Kind::notAuthorized, 2},
        {S::authorized, S::authorized, false, true, true, Kind::unavailable, 3},
        {S::authorized, S::authorized, true, false, false, Kind::unavailable, 3},
        {S::authorized, S::authorized, true, true, false, Kind::onDeviceUnsupported, 3},
    };
    for (const auto& row : rows) {
        auth.log.clear();
        factory.log.clear();
        auth.speech = row.speech;
        auth.microphone = row.microphone;
        factory.byLocale.clear();
        if (row.hasRecognizer)
            factory.byLocale["en-US"] = recognizer;
        recognizer->available = row.available;
        recognizer->onDevice = row.onDevice;

        EXPECT_EQ(startFailure().kind(), row.kind);
        Strings asked = auth.log;
        for (const auto& call : factory.log)
            asked.push_back(call);
        EXPECT_EQ(asked, Strings(checks.begin(), checks.begin() + row.asked));
        EXPECT_TRUE(engine.log.empty());
        EXPECT_EQ(recognizer->lastRequest(), nullptr);
    }
    // Idle, a stop answers empty at once and schedules nothing.
    recorder->stop(completion("c"));
    EXPECT_EQ(done, Strings{"c:"});
    EXPECT_EQ(queue.pending(), 0u);
}

TEST_F(RecorderTest, StartInstallsTheTapAndRunsTheEngineInOrder) {
    recorder->start("en-US");
    EXPECT_EQ(engine.log, (Strings{"removeTap", "installTap 1024", "start"}));
    auto request = recognizer->lastRequest();
    EXPECT_EQ(task()->request, request);

    // The tap feeds the request and posts the level; it never calls back inside itself.
    auto loud = TestBuffer::constant(1.0f, 1024);
    auto noFloats = TestBuffer::constant(1.0f, 1024).view();
    noFloats.floatChannelData = nullptr;
    EXPECT_TRUE(engine.feed(loud.view()));
    EXPECT_TRUE(engine.feed(noFloats));
    EXPECT_TRUE(levels.empty());
    drain(queue);
    EXPECT_EQ(levels, std::vector<float>{1.0f});
    EXPECT_EQ(request->appended, 2);

    engine.log.clear();
    recorder->stop(completion("c"));
    EXPECT_EQ(engine.log, (Strings{"stop", "removeTap"}));
    EXPECT_EQ(request->endedAudio, 1);
    EXPECT_FALSE(engine.hasTap());
}

// Whatever came while recording, only an answer after the stop ends the wait early; otherwise
// the newest text goes at exactly four seconds.
TEST_F(RecorderTest, WithoutAnAnswerAfterTheStopTheTimeoutHandsTheNewestTextAtFourSeconds) {
    struct Row {
        Strings partials;
        bool final, error; // "early" as a final while recording, then an error
        std::string expected;
    } rows[] = {{{"one", "one two"}, false, false, "c:one two"},
                {{}, false, false, "c:"},
                {{"abc", ""}, false, false, "c:"},
                {{}, true, false, "c:early"},
                {{}, true, true, "c:early"}};
    for (const auto& row : rows) {
        done.clear();
        recorder->start("en-US");
        for (const auto& text : row.partials)
            task()->partial(text);
        if (row.final)
            task()->final("early");
        if (row.error)
            task()->fail();
        drain(queue);
        EXPECT_EQ(task()->cancelled, 0);
        recorder->stop(completion("c"));
        advance(queue, clock, 3.999);
        EXPECT_TRUE(done.empty());
        advance(queue, clock, 0.001);
        EXPECT_EQ(done, Strings{row.expected});
        EXPECT_EQ(task()->cancelled, 1);
    }
}

TEST_F(RecorderTest, StopWhileFinishingAnswersEmptyAndKeepsThePendingCompletion) {
    recorder->start("en-US");
    deliver([](FakeTask& t) { t.partial("kept"); });
    recorder->stop(completion("first"));
    recorder->stop(completion("second"));
    EXPECT_EQ(done, Strings{"second:"});
    deliver([](FakeTask& t) { t.final("kept."); });
    EXPECT_EQ(done, (Strings{"second:", "first:kept."}));
}

TEST_F(RecorderTest, EngineFailureCarriesTheErrorAndLeavesNoTap) {
    recorder->start("en-US");
    deliver([](FakeTask& t) { t.partial("before"); });
    recorder->stop(completion("pending"));
    const auto firstTask = task();

    engine.startError = "cannot connect to the sound server: Connection refused";
    const auto failure = startFailure();
    EXPECT_EQ(failure.kind(), Kind::engine);
    EXPECT_STREQ(failure.what(), "cannot connect to the sound server: Connection refused");
    EXPECT_FALSE(engine.hasTap());
    EXPECT_EQ(task(), firstTask); // no new task
    recorder->stop(completion("after"));
    EXPECT_EQ(done, Strings{"after:"});

    // The failed start leaves the waiting dictation its own transcript.
    advance(queue, clock, 4.0);
    EXPECT_EQ(done, (Strings{"after:", "pending:before"}));
    EXPECT_EQ(firstTask->cancelled, 1);
}

TEST_F(RecorderTest, EachStopWaitsForItsOwnTimeout) {
    recorder->start("en-US");
    recorder->stop(completion("first"));
    advance(queue, clock, 1.0);
    deliver([](FakeTask& t) { t.final("One."); });
    advance(queue, clock, 0.5);
    recorder->start("en-US");
    deliver([](FakeTask& t) { t.partial("two so far"); });
    recorder->stop(completion("second"));
    advance(queue, clock, 2.5); // the first stop's timeout falls due and finds nothing
    EXPECT_EQ(done, Strings{"first:One."});
    deliver([](FakeTask& t) { t.partial("two so far, and more"); });
    advance(queue, clock, 1.499);
    EXPECT_EQ(done, Strings{"first:One."});
    advance(queue, clock, 0.001); // 4.0 s after the second stop
    EXPECT_EQ(done, (Strings{"first:One.", "second:two so far, and more"}));
}

// A second press within moments of a release: whatever the first dictation's task sends
// late, or its timeout, completes only the first, with its own words, and leaves the new
// recording whole.
TEST_F(RecorderTest, ALateAnswerOfAnEarlierDictationCompletesOnlyThatOne) {
    struct Row {
        const char* name;
        std::function<void()> late; // after the second start, about the first dictation
        std::string first;
    };
    std::shared_ptr<FakeTask> firstTask;
    const Row rows[] = {
        {"final", [&] { firstTask->final("One."); }, "first:One."},
        {"error", [&] { firstTask->fail(); }, "first:one"},
        {"partial then final",
         [&] {
             firstTask->partial("one more");
             firstTask->final("One more.");
         },
         "first:One more."},
        {"timeout", [&] { advance(queue, clock, 3.95); }, "first:one"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        done.clear();
        recorder->start("en-US");
        firstTask = task();
        deliver([](FakeTask& t) { t.partial("one"); });
        recorder->stop(completion("first"));
        advance(queue, clock, 0.05);
        recorder->start("en-US");
        const auto secondTask = task();
        const auto secondRequest = recognizer->lastRequest();
        ASSERT_NE(secondTask, firstTask);
        deliver([](FakeTask& t) { t.partial("two"); });

        row.late();
        drain(queue);
        EXPECT_EQ(done, Strings{row.first});
        EXPECT_EQ(firstTask->cancelled, 1);
        EXPECT_EQ(secondTask->cancelled, 0);
        EXPECT_EQ(secondRequest->endedAudio, 0);
        EXPECT_TRUE(engine.feed(TestBuffer::constant(0.1f, 64).view()));
        EXPECT_EQ(secondRequest->appended, 1);

        // More late words of the first task reach nobody.
        firstTask->final("Stale.");
        drain(queue);
        recorder->stop(completion("second"));
        advance(queue, clock, 1.0);
        EXPECT_EQ(done.size(), 1u);
        deliver([](FakeTask& t) { t.final("Two."); });
        EXPECT_EQ(done, (Strings{row.first, "second:Two."}));
        advance(queue, clock, 5.0);
        EXPECT_EQ(done.size(), 2u);
    }
}

TEST_F(RecorderTest, EveryStopGetsItsOwnTranscriptInWhateverOrderTheyEnd) {
    recorder->start("en-US");
    const auto firstTask = task();
    recorder->stop(completion("first"));
    recorder->start("en-US");
    recorder->stop(completion("second"));
    deliver([](FakeTask& t) { t.final("Two."); });
    firstTask->final("One.");
    drain(queue);
    advance(queue, clock, 10.0);
    EXPECT_EQ(done, (Strings{"second:Two.", "first:One."}));
}

// The capture ends by itself mid-dictation: the recogniser is told the audio ended, the
// owner hears of it once, and the release delivers what was heard, without the full wait
// when the recogniser has already answered.
TEST_F(RecorderTest, AnInterruptionEndsTheAudioAndTheReleaseDeliversWhatWasHeard) {
    Strings reports;
    recorder->setOnInterrupted([&](std::string reason) { reports.push_back(reason); });
    struct Row {
        const char* name;
        bool finalBeforeRelease, finalAfterRelease;
        double secondsToCompletion;
        std::string expected;
    } rows[] = {
        {"final before the release", true, false, 0.0, "c:Heard so far."},
        {"final after the release", false, true, 0.5, "c:Heard so far."},
        {"no final", false, false, 4.0, "c:heard so far"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        done.clear();
        reports.clear();
        recorder->start("en-US");
        const auto request = recognizer->lastRequest();
        deliver([](FakeTask& t) { t.partial("heard so far"); });
        engine.interrupt("The microphone was removed.");
        EXPECT_TRUE(reports.empty()); // posted, not called on the capture thread
        engine.interrupt("The sound server went away.");
        drain(queue);
        EXPECT_EQ(reports, Strings{"The microphone was removed."});
        EXPECT_EQ(request->endedAudio, 1);
        if (row.finalBeforeRelease)
            deliver([](FakeTask& t) { t.final("Heard so far."); });
        EXPECT_TRUE(done.empty());

        const auto stoppedAt = clock.now();
        recorder->stop(completion("c"));
        EXPECT_EQ(request->endedAudio, 1);
        if (row.finalAfterRelease) {
            advance(queue, clock, 0.5);
            deliver([](FakeTask& t) { t.final("Heard so far."); });
        }
        drain(queue);
        if (done.empty()) {
            advance(queue, clock, row.secondsToCompletion - 0.001);
            EXPECT_TRUE(done.empty());
            advance(queue, clock, 0.001);
        }
        EXPECT_EQ(done, Strings{row.expected});
        EXPECT_EQ(clock.now() - stoppedAt, secondsToNanos(row.secondsToCompletion));
        advance(queue, clock, 5.0);
        EXPECT_EQ(reports.size(), 1u);
        EXPECT_EQ(done.size(), 1u);
    }
}

// A report that reaches the main queue after the next press still names the dictation
// whose capture ended, not the new one.
TEST_F(RecorderTest, ALateInterruptionReportConcernsOnlyItsOwnDictation) {
    Strings reports;
    recorder->setOnInterrupted([&](std::string reason) { reports.push_back(reason); });
    recorder->start("en-US");
    engine.interrupt("The sound server went away."); // read on the capture thread, queued
    recorder->stop(completion("first"));
    recorder->start("en-US");
    const auto second = recognizer->lastRequest();
    drain(queue);
    EXPECT_EQ(reports, Strings{"The sound server went away."});
    EXPECT_EQ(second->endedAudio, 0);

    // The new dictation is told about separately; an idle recorder reports nothing.
    engine.interrupt("The microphone was removed.");
    drain(queue);
    EXPECT_EQ(second->endedAudio, 1);
    recorder->stop(completion("second"));
    advance(queue, clock, 4.0);
    engine.interrupt("Too late.");
    drain(queue);
    EXPECT_EQ(reports, (Strings{"The sound server went away.", "The microphone was removed."}));
    EXPECT_EQ(done, (Strings{"first:", "second:"}));
}

TEST_F(RecorderTest, CallbacksOutlivingTheRecorderDoNothing) {
    recorder->start("en-US");
    auto oldTask = task();
    recorder->stop(completion("c"));
    recorder->start("en-US");
    recorder.reset();
    EXPECT_TRUE(engine.feed(TestBuffer::constant(1.0f, 64).view()));
    oldTask->final("late");
    advance(queue, clock, 5.0);
    EXPECT_TRUE(done.empty());
    EXPECT_TRUE(levels.empty());
    EXPECT_EQ(recognizer->lastRequest()->appended, 0);
}

TEST_F(RecorderTest, RequestPermissionsAsksForSpeechThenMicrophone) {
    recorder->requestPermissions();
    EXPECT_EQ(auth.log, (Strings{"requestSpeech", "requestMicrophone"}));
    EXPECT_EQ(queue.pending(), 0u);
}

} // namespace
