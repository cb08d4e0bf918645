#include "MainQueue.h"

#include <cmath>

namespace murmelin {

Nanoseconds SteadyClock::now() const {
    return std::chrono::duration_cast<Nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
}

Nanoseconds secondsToNanos(double seconds) {
    if (!(seconds > 0))
        return Nanoseconds(0);
    return Nanoseconds(std::llround(seconds * 1e9));
}

void ManualClock::advance(double seconds) {
    set(now() + secondsToNanos(seconds));
}

MainQueue::MainQueue(const Clock& clock) : clock_(clock) {}

void MainQueue::async(Job job) {
    post(clock_.now(), std::move(job));
}

void MainQueue::asyncAfter(double seconds, Job job) {
    post(clock_.now() + secondsToNanos(seconds), std::move(job));
}

void MainQueue::post(Nanoseconds due, Job job) {
    std::function<void()> wake;
    {
        std::lock_guard lock(mutex_);
        bool newEarliest = entries_.empty() || due < entries_.begin()->due;
        entries_.insert(Entry{due, nextSeq_++, std::move(job)});
        if (newEarliest)
            wake = wakeup_;
    }
    posted_.notify_all();
    if (wake)
        wake();
}

std::optional<Job> MainQueue::takeDue(uint64_t seqLimit) {
    std::lock_guard lock(mutex_);
    Nanoseconds now = clock_.now();
    for (auto it = entries_.begin(); it != entries_.end() && it->due <= now; ++it) {
        if (it->seq >= seqLimit)
            continue;
        // multiset elements are const; the job is moved out just before erasing it.
        Job job = std::move(const_cast<Entry&>(*it).job);
        entries_.erase(it);
        return job;
    }
    return std::nullopt;
}

std::size_t MainQueue::runDue() {
    uint64_t limit;
    {
        std::lock_guard lock(mutex_);
        limit = nextSeq_;
    }
    std::size_t ran = 0;
    while (auto job = takeDue(limit)) {
        (*job)();
        ++ran;
    }
    return ran;
}

bool MainQueue::runOne() {
    auto job = takeDue(UINT64_MAX);
    if (!job)
        return false;
    (*job)();
    return true;
}

std::optional<Nanoseconds> MainQueue::nextDeadline() const {
    std::lock_guard lock(mutex_);
    if (entries_.empty())
        return std::nullopt;
    return entries_.begin()->due;
}

std::size_t MainQueue::pending() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

void MainQueue::setWakeup(std::function<void()> wakeup) {
    std::lock_guard lock(mutex_);
    wakeup_ = std::move(wakeup);
}

bool MainQueue::runUntil(const std::function<bool()>& done, double timeoutSeconds) {
    const Nanoseconds end = clock_.now() + secondsToNanos(timeoutSeconds);
    while (!done()) {
        if (runOne())
            continue;
        std::unique_lock lock(mutex_);
        Nanoseconds now = clock_.now();
        if (now >= end)
            return done();
        Nanoseconds until = end;
        if (!entries_.empty() && entries_.begin()->due < until)
            until = entries_.begin()->due;
        if (until > now)
            posted_.wait_for(lock, until - now);
    }
    return true;
}

void advance(MainQueue& queue, ManualClock& clock, double seconds) {
    const Nanoseconds target = clock.now() + secondsToNanos(seconds);
    for (;;) {
        drain(queue);
        auto next = queue.nextDeadline();
        if (!next || *next > target)
            break;
        clock.set(*next);
    }
    clock.set(target);
    drain(queue);
}

void drain(MainQueue& queue) {
    while (queue.runOne()) {
    }
}

} // namespace murmelin
