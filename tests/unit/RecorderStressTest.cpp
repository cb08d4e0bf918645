// Starts and stops the recorder thousands of times on a real main queue while a capture
// thread feeds buffers and a recogniser thread sends results, so that the sanitizers see
// every hand-over between the three threads. Meant to run under TSan and ASan as well.

#include "Controller.h"
#include "Fakes.h"
#include "Recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <thread>

using namespace murmelin;
using namespace murmelin::testing;
using namespace std::chrono_literals;

namespace {

constexpr int kCycles = 3000;
constexpr int kMashes = 1000;

// Delivers buffers of changing loudness (some not numbers, some without float data), now
// and then reporting the capture cut short, until told to quit.
void capture(FakeAudioInput& engine, const std::atomic<bool>& quit) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const TestBuffer buffers[] = {TestBuffer::constant(0.0f, 256), TestBuffer::constant(0.3f, 1024),
                                  TestBuffer({{0.1f, nan, 0.2f}}), TestBuffer::constant(1.0f, 0)};
    AudioBuffer noFloats = buffers[1].view();
    noFloats.floatChannelData = nullptr;
    for (unsigned i = 0; !quit; ++i) {
        engine.feed(i % 5 == 4 ? noFloats : buffers[i % 4].view());
        if (i % 997 == 996)
            engine.interrupt("The sound server went away.");
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

    int interruptions = 0;
    recorder->setOnInterrupted([&](std::string) {
        ++interruptions;
        offThread += std::this_thread::get_id() != mainThread;
    });

    std::atomic<bool> quit{false};
    std::thread captureThread(capture, std::ref(engine), std::cref(quit));
    std::thread recogniserThread(recognise, std::ref(*recognizer), std::cref(quit));

    // Per stop: how often its completion ran.
    std::vector<int> calls(kCycles, 0);
    int failures = 0, started = 0;
    std::minstd_rand random(11);
    for (int id = 0; id < kCycles; ++id) {
        engine.startError = random() % 50 == 0 ? "Connection terminated" : "";
        bool recording = true;
        try {
            recorder->start("en-US");
            ++started;
        } catch (const Recorder::Failure& failure) {
            recording = false;
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
        });
        if (!recording) {
            EXPECT_EQ(calls[id], 1) << "a stop without a recording answers at once";
            continue;
        }
        // Mostly wait for the transcript; otherwise press again while it is still awaited.
        if (random() % 3 != 0 || id == kCycles - 1) {
            EXPECT_TRUE(queue.runUntil([&] { return calls[id] > 0; }, 5.0));
        }
        queue.runDue();
    }

    // Every stop is answered, at the latest by its own timeout.
    const auto allAnswered = [&] {
        return std::all_of(calls.begin(), calls.end(), [](int n) { return n > 0; });
    };
    EXPECT_TRUE(queue.runUntil(allAnswered, 8.0)); // 4 s at most, with room for load

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

    for (int id = 0; id < kCycles; ++id)
        EXPECT_EQ(calls[id], 1) << "completion " << id;
    EXPECT_LE(interruptions, started + 1); // at most one per dictation
    EXPECT_EQ(offThread, 0);
    EXPECT_EQ(outOfRange, 0);
    EXPECT_GT(levels, 0);
    EXPECT_GT(failures, 0);
}

// The hot key mashed at random on the manual clock, with the real recorder behind the
// controller: results, errors and silence for current and earlier dictations, capture cut
// short, the clock jumping past timeouts, starts refused. Every accepted press delivers its
// own transcript exactly once and the panel stays up while anything records.
TEST(DictationMash, EveryAcceptedPressDeliversItsOwnTranscriptOnce) {
    murmelin::testing::ControllerRig rig;
    FakeAuthorization auth;
    FakeRecognizerFactory factory;
    FakeAudioInput engine;
    auto recognizer = std::make_shared<FakeRecognizer>();
    factory.byLocale["en-US"] = recognizer;
    auto ports = rig.ports();
    ports.recorder = Recorder::make({auth, factory, engine, rig.queue});
    auto controller = Controller::make(ports);
    controller->start();

    std::minstd_rand random(14);
    std::set<std::size_t> cut; // dictations whose capture ended by itself
    int presses = 0;
    for (int step = 0; presses < kMashes; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const auto tasks = recognizer->tasks();
        switch (random() % 8) {
        case 0:
        case 1: {
            auth.microphone =
                random() % 25 == 0 ? AuthorizationStatus::denied : AuthorizationStatus::authorized;
            engine.startError = random() % 25 == 0 ? "Connection refused" : "";
            rig.hotKey.press();
            ++presses;
            const auto now = recognizer->tasks();
            if (now.size() > tasks.size())
                now.back()->partial("d" + std::to_string(now.size() - 1));
            break;
        }
        case 2:
        case 3:
            rig.hotKey.release();
            EXPECT_FALSE(controller->recording.get());
            break;
        case 4:
            if (!tasks.empty()) {
                const std::size_t i = random() % tasks.size();
                const std::string text = "d" + std::to_string(i) + " w" + std::to_string(step);
                switch (random() % 3) {
                case 0:
                    tasks[i]->partial(text);
                    break;
                case 1:
                    tasks[i]->final(text + ".");
                    break;
                default:
                    tasks[i]->fail();
                    break;
                }
            }
            break;
        case 5: // only while capturing, as the audio port promises
            if (controller->recording.get()) {
                cut.insert(tasks.size() - 1);
                engine.interrupt("The microphone was removed.");
            }
            break;
        case 6:
            advance(rig.queue, rig.clock, static_cast<double>(random() % 5000) / 1000.0);
            break;
        default:
            drain(rig.queue);
            break;
        }
        if (controller->recording.get()) {
            ASSERT_TRUE(rig.hud->window);
            EXPECT_NE(rig.hud->window->calls.back(), "out");
        }
    }
    rig.hotKey.release();
    EXPECT_FALSE(controller->recording.get());
    advance(rig.queue, rig.clock, 10.0);

    const auto tasks = recognizer->tasks();
    std::map<std::string, int> delivered;
    for (const auto& text : rig.clipboard.writes) // every result of dictation i starts "d<i>"
        ++delivered[text.substr(0, text.find(' '))];
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        EXPECT_EQ(delivered["d" + std::to_string(i)], 1) << "dictation " << i;
        EXPECT_EQ(tasks[i]->cancelled, 1) << "dictation " << i;
        EXPECT_EQ(std::static_pointer_cast<FakeRequest>(tasks[i]->request)->endedAudio, 1);
    }
    EXPECT_EQ(rig.clipboard.writes.size(), tasks.size());
    const auto told = std::count_if(
        rig.notifier.posted.begin(), rig.notifier.posted.end(), [](const auto& posted) {
            return posted.body.rfind("The recording was cut short.", 0) == 0;
        });
    EXPECT_EQ(static_cast<std::size_t>(told), cut.size());
    ASSERT_TRUE(rig.hud->window);
    EXPECT_EQ(rig.hud->window->calls.back(), "out");
    // The mash reached every road often enough to mean something.
    EXPECT_GT(tasks.size(), 400u);
    EXPECT_GT(cut.size(), 100u);
}

} // namespace
