#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>

namespace murmelin {

using Job = std::function<void()>;
using Nanoseconds = std::chrono::nanoseconds;

// Monotonic time since an arbitrary epoch. now() may be called from any thread.
class Clock {
public:
    virtual ~Clock() = default;
    virtual Nanoseconds now() const = 0;
};

class SteadyClock final : public Clock {
public:
    Nanoseconds now() const override;
};

// A clock that moves only when a test says so, so timeouts run instantly and exactly.
class ManualClock final : public Clock {
public:
    Nanoseconds now() const override { return Nanoseconds(now_.load()); }
    void set(Nanoseconds t) { now_.store(t.count()); }
    void advance(double seconds);

private:
    std::atomic<int64_t> now_{0};
};

Nanoseconds secondsToNanos(double seconds);

// The program's one loop of work. Posting is safe from any thread and never runs the job
// inside the call; immediate jobs run in posting order; a delayed job runs no earlier than
// its deadline and takes its place among the others by the time it falls due; nothing is
// ever cancelled. The driver (an event loop, or a test) calls runDue()/runOne() on the
// main thread and learns of new work through the wake-up callback.
class MainQueue {
public:
    explicit MainQueue(const Clock& clock);
    MainQueue(const MainQueue&) = delete;
    MainQueue& operator=(const MainQueue&) = delete;

    void async(Job job);
    void asyncAfter(double seconds, Job job);

    // Main thread. Runs the jobs that are due now and were posted before this call began;
    // jobs they post wait for the next call, so a job that re-posts itself cannot starve
    // the event loop. Returns how many ran.
    std::size_t runDue();
    // Main thread. Runs the earliest job if it is due; returns whether one ran.
    bool runOne();
    // The deadline of the earliest pending job, or nothing when the queue is empty.
    std::optional<Nanoseconds> nextDeadline() const;
    std::size_t pending() const;

    // Called on the posting thread whenever a post may move the earliest deadline forward
    // in time. It must only wake the loop; it must not run jobs. Set it before any post.
    void setWakeup(std::function<void()> wakeup);

    // Blocks the calling (main) thread, running jobs as they fall due, until done() is
    // true after a job or the timeout passes on the queue's clock. For programs and tests
    // without a GUI loop. Returns done().
    bool runUntil(const std::function<bool()>& done, double timeoutSeconds);

    const Clock& clock() const { return clock_; }

private:
    struct Entry {
        Nanoseconds due;
        uint64_t seq;
        Job job;
        bool operator<(const Entry& o) const { return due != o.due ? due < o.due : seq < o.seq; }
    };
    void post(Nanoseconds due, Job job);
    std::optional<Job> takeDue(uint64_t seqLimit);

    const Clock& clock_;
    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::multiset<Entry> entries_;
    uint64_t nextSeq_ = 0;
    std::function<void()> wakeup_;
};

// Test driver: moves the manual clock forward by `seconds`, running every job that falls
// due on the way at exactly its deadline, in queue order.
void advance(MainQueue& queue, ManualClock& clock, double seconds);
// Runs everything that is due now, including what those jobs post for now.
void drain(MainQueue& queue);

} // namespace murmelin
