#include "QtQueuePump.h"

#include <QMetaObject>

#include <chrono>
#include <limits>

namespace murmelin {

QtQueuePump::QtQueuePump(MainQueue& queue) : queue_(queue) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &QtQueuePump::pump);
    queue_.setWakeup([this] { wake(); });
    // Jobs posted before the pump existed.
    if (queue_.pending() > 0)
        wake();
}

QtQueuePump::~QtQueuePump() {
    queue_.setWakeup({});
}

void QtQueuePump::wake() {
    // Any thread. Several posts between two pumps cost one queued call.
    if (wakePending_.exchange(true))
        return;
    QMetaObject::invokeMethod(this, &QtQueuePump::pump, Qt::QueuedConnection);
}

void QtQueuePump::pump() {
    wakePending_.store(false);
    queue_.runDue();
    armTimer();
}

void QtQueuePump::armTimer() {
    const auto deadline = queue_.nextDeadline();
    if (!deadline) {
        timer_.stop();
        return;
    }
    const auto wait = *deadline - queue_.clock().now();
    if (wait <= Nanoseconds::zero()) {
        timer_.stop();
        wake(); // due already: let other events in first, then run it
        return;
    }
    // Round up so the timer never fires before the job is due.
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(wait + milliseconds(1) - nanoseconds(1)).count();
    timer_.start(static_cast<int>(std::min<long long>(ms, std::numeric_limits<int>::max())));
}

} // namespace murmelin
