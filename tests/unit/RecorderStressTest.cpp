// Starts and stops the recorder thousands of times on a real main queue while a capture
// thread feeds buffers and a recogniser thread sends results, so that the sanitizers see
// every hand-over between the three threads. Meant to run under TSan and ASan as well.

#include "App/Recorder.h"
#include "tests/support/SpeechFakes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <thread>

using namespace murmelin;
using namespace murmelin::fakes;
using namespace std::chrono_literals;

namespace {

constexpr int kCycles = 3000;

// Delivers buffers of changing loudness (some not numbers, some without float data)
// until told to quit.
void capture(FakeAudioInput& engine, const std::atomic<bool>& quit) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const TestBuffer buffers[] = {TestBuffer::constant(0.0f, 256), TestBuffer::constant(0.3f, 1024),
                                  TestBuffer({{0.1f, nan, 0.2f}}), TestBuffer::constant(1.0f, 0)};
    AudioBuffer noFloats = buffers[1].view();
    noFloats.floatChannelData = nullptr;
    for (unsigned i = 0; !quit; ++i) {
        engine.feed(i % 5 == 4 ? noFloats : buffers[i % 4].view());
        std::this_thread::sleep_for(20us);
    }
}

// Sends partials, finals and errors, mostly to the newest task and sometimes to the one
// before it, which may already be cancelled.
void recognise(FakeRecognizer& recognizer, const std::atomic<bool>& quit) {
    std::minstd_rand random(7);
    std::shared_ptr<FakeTask> current, previous;
    for (unsigned n = 0; !quit; ++n) {
        if (auto newest = recognizer.lastTask(); newest != current) {
            previous = current;
            current = newest;
        }
        const auto& task = (random() % 5 == 0 && previous) ? previous : current;
        if (task) {
            switch (random() % 8) {
            case 0:
                task->final("Final " + std::to_string(n) + ".");
                break;
            case 1:
                task->fail();
                break;
            default:
                task->partial("words " + std::to_string(n));
                break;
            }
        }
        std::this_thread::sleep_for(50us);
    }
}

TEST(RecorderStress, StartAndStopWhileCaptureAndRecognitionRunOnTheirOwnThreads) {
    SteadyClock clock;
    MainQueue queue{clock};
    FakeAuthorization auth;
    FakeRecognizerFactory factory;
    FakeAudioInput engine;
    auto recognizer = std::make_shared<FakeRecognizer>();
    factory.byLocale["en-US"] = recognizer;
    auto recorder = Recorder::make({auth, factory, engine, queue});

    const auto mainThread = std::this_thread::get_id();
    int levels = 0, offThread = 0, outOfRange = 0;
    recorder->setOnLevel([&](float level) {
        ++levels;
        offThread += std::this_thread::get_id() != mainThread;
        outOfRange += !(level >= 0.0f && level <= 1.0f);
    });

    std::atomic<bool> quit{false};
    std::thread captureThread(capture, std::ref(engine), std::cref(quit));
    std::thread recogniserThread(recognise, std::ref(*recognizer), std::cref(quit));

    // Per stop: how often its completion ran, and whether a later stop replaced it.
    std::vector<int> calls(kCycles, 0);
    std::vector<bool> replaced(kCycles, false);
    int pending = -1, failures = 0, lateCalls = 0;
    std::minstd_rand random(11);
    for (int id = 0; id < kCycles; ++id) {
        engine.startError = random() % 50 == 0 ? "Connection terminated" : "";
        bool started = true;
        try {
            recorder->start("en-US");
        } catch (const Recorder::Failure& failure) {
            started = false;
            ++failures;
            EXPECT_STREQ(failure.what(), "Connection terminated");
        }
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::microseconds(random() % 200);
        while (std::chrono::steady_clock::now() < until)
            queue.runDue();

        recorder->stop([&, id](std::string) {
            ++calls[id];
            offThread += std::this_thread::get_id() != mainThread;
            lateCalls += replaced[id];
            if (pending == id)
                pending = -1;
        });
        if (!started) {
            EXPECT_EQ(calls[id], 1) << "a stop without a recording answers at once";
            continue;
        }
        if (pending >= 0)
            replaced[pending] = true;
        pending = id;
        // Mostly wait for the transcript; otherwise press again while it is still awaited.
        if (random() % 3 != 0 || id == kCycles - 1) {
            EXPECT_TRUE(queue.runUntil([&] { return calls[id] > 0; }, 5.0));
        }
        queue.runDue();
    }

    // Leave a recording running and drop the recorder under the threads' feet.
    recorder->start("en-US");
    const std::weak_ptr<Recorder> gone = recorder;
    recorder.reset();
    EXPECT_TRUE(gone.expired());
    std::this_thread::sleep_for(5ms);
    quit = true;
    captureThread.join();
    recogniserThread.join();
    drain(queue);

    int called = 0;
    for (int id = 0; id < kCycles; ++id) {
        EXPECT_LE(calls[id], 1) << "completion " << id << " ran twice";
        if (!replaced[id]) {
            EXPECT_EQ(calls[id], 1) << "completion " << id << " never ran";
        }
        called += calls[id];
    }
    EXPECT_EQ(lateCalls, 0);
    EXPECT_EQ(offThread, 0);
    EXPECT_EQ(outOfRange, 0);
    EXPECT_GT(levels, 0);
    RecordProperty("levels", levels);
    RecordProperty("completions", called);
    RecordProperty("engineFailures", failures);
}

} // namespace
