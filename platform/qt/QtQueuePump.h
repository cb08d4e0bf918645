#pragma once

#include "MainQueue.h"

#include <QObject>
#include <QTimer>

#include <atomic>

namespace murmelin {

// Runs the main queue's jobs from the Qt event loop without polling: a post wakes the
// loop with one queued call, and one single-shot timer waits for the earliest deadline.
// Nothing runs while the queue is empty. Create and destroy on the main thread.
class QtQueuePump final : public QObject {
    Q_OBJECT
public:
    explicit QtQueuePump(MainQueue& queue);
    ~QtQueuePump() override;

    // Whether a timer waits for a delayed job (never while the queue is empty).
    bool timerArmed() const { return timer_.isActive(); }

private:
    void wake();
    void pump();
    void armTimer();

    MainQueue& queue_;
    QTimer timer_;
    std::atomic<bool> wakePending_{false};
};

} // namespace murmelin
