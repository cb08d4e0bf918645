#include "MainQueue.h"
#include "Observable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

using namespace murmelin;

namespace {

struct QueueTest : ::testing::Test {
    ManualClock clock;
    MainQueue queue{clock};
    std::vector<std::string> log;
    Job record(std::string s) {
        return
            [this, s] { log.push_back(s + "@" + std::to_string(clock.now().count() / 1000000)); };
    }
};

TEST_F(QueueTest, ImmediateJobsRunInPostingOrderAndDelayedOnesAtTheirDeadline) {
    queue.asyncAfter(4.0, record("timeout"));
    queue.asyncAfter(0.08, record("paste"));
    queue.async(record("a"));
    queue.async(record("b"));
    advance(queue, clock, 0.079);
    EXPECT_EQ(log, (std::vector<std::string>{"a@0", "b@0"}));
    advance(queue, clock, 0.001);
    EXPECT_EQ(log.back(), "paste@80");
    advance(queue, clock, 3.919);
    EXPECT_EQ(log.size(), 3u);
    advance(queue, clock, 0.001);
    EXPECT_EQ(log.back(), "timeout@4000");
}

TEST_F(QueueTest, ADelayedJobTakesItsPlaceByWhenItFallsDue) {
    queue.asyncAfter(1.0, record("late"));
    clock.set(secondsToNanos(2.0));
    queue.async(record("posted-after-deadline"));
    drain(queue);
    EXPECT_EQ(log, (std::vector<std::string>{"late@2000", "posted-after-deadline@2000"}));
}

// A post never runs the job inside the call, not even from a job.
TEST_F(QueueTest, RunDueLeavesJobsPostedDuringTheRunForTheNextTurn) {
    int runs = 0;
    std::function<void()> again = [&] {
        ++runs;
        queue.async(again);
    };
    queue.async(again);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(queue.runDue(), 1u);
    EXPECT_EQ(queue.runDue(), 1u);
    EXPECT_EQ(runs, 2);
}

TEST(MainQueueThreads, PostsFromManyThreadsAllRunInPerThreadOrderAndWakeTheLoop) {
    SteadyClock clock;
    MainQueue queue(clock);
    std::atomic<int> wakeups{0};
    queue.setWakeup([&] { ++wakeups; });
    constexpr int kThreads = 4, kJobs = 2000;
    std::vector<std::vector<int>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kJobs; ++i)
                queue.async([&, t, i] { seen[t].push_back(i); });
        });
    int total = 0;
    EXPECT_TRUE(queue.runUntil(
        [&] {
            total = 0;
            for (auto& s : seen)
                total += int(s.size());
            return total == kThreads * kJobs;
        },
        10.0));
    for (auto& th : threads)
        th.join();
    for (auto& s : seen)
        for (int i = 0; i < kJobs; ++i)
            ASSERT_EQ(s[i], i);
    EXPECT_GT(wakeups.load(), 0);
}

TEST(MainQueueThreads, RunUntilRunsADelayedJobAtItsDeadlineNotBefore) {
    SteadyClock clock;
    MainQueue queue(clock);
    const Nanoseconds posted = clock.now();
    std::optional<Nanoseconds> ranAt;
    queue.asyncAfter(0.15, [&] { ranAt = clock.now(); });
    EXPECT_TRUE(queue.runUntil([&] { return ranAt.has_value(); }, 5.0));
    ASSERT_TRUE(ranAt);
    EXPECT_GE(*ranAt - posted, secondsToNanos(0.15));
    EXPECT_FALSE(queue.runUntil([] { return false; }, 0.05)) << "nothing is due: it times out";
}

struct Model : ObservableObject {
    Published<int> value{*this, 1};
};

TEST(Published, EveryAssignmentAnnouncesBeforeItStores) {
    Model m;
    std::vector<int> seenDuringSignal;
    auto sub = m.objectWillChange.subscribe([&] { seenDuringSignal.push_back(m.value); });
    m.value = 2;
    m.value = 2; // an equal value announces too
    EXPECT_EQ(seenDuringSignal, (std::vector<int>{1, 2}));
    EXPECT_EQ(m.value.get(), 2);
    sub.reset();
    m.value = 3;
    EXPECT_EQ(seenDuringSignal.size(), 2u);
}

TEST(Published, SubscriptionMayOutliveTheObjectAndUnsubscribeDuringSend) {
    Subscription outlives;
    {
        Model m;
        Subscription self;
        int calls = 0;
        self = m.objectWillChange.subscribe([&] {
            ++calls;
            self.reset();
        });
        m.value = 5;
        m.value = 6;
        EXPECT_EQ(calls, 1);
        outlives = m.objectWillChange.subscribe([] {});
    }
    outlives.reset(); // no crash after the object is gone
}

} // namespace
