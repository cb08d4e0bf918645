// Qt-side helpers of the integration tests that talk D-Bus: the Qt loop run until something
// holds, and a service object of the tests' own on a connection and thread of its own, so that
// blocking calls of the code under test reach it. Header-only: for tests that link Qt D-Bus.
#pragma once

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QThread>

#include <functional>
#include <shared_mutex>

namespace murmelin::test {

// Runs the Qt loop until `done` or the timeout; returns done().
inline bool loopUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

// Derived classes register their names and objects on `bus_` once serving() has moved them
// to their thread, and unregister them in their own destructor: this one then ends the thread.
class ThreadedBusObject : public QDBusVirtualObject {
public:
    explicit ThreadedBusObject(QDBusConnection bus) : bus_(std::move(bus)) {}
    // Qt calls this on its own D-Bus thread, even while the object is being destroyed.
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) final {
        std::shared_lock lock(serving_);
        return !stopped_ && serve(message, bus);
    }
    ~ThreadedBusObject() override {
        QThread* here = QThread::currentThread();
        QMetaObject::invokeMethod(
            this, [this, here] { moveToThread(here); }, Qt::BlockingQueuedConnection);
        thread_.quit();
        thread_.wait();
        QDBusConnection::disconnectFromBus(bus_.name());
    }

protected:
    virtual bool serve(const QDBusMessage& message, const QDBusConnection& bus) = 0;
    // The first thing a derived destructor does: waits out a call being served and turns away
    // later ones, which would otherwise reach a half-destroyed object.
    void stopServing() {
        std::unique_lock lock(serving_);
        stopped_ = true;
    }
    void serving() {
        moveToThread(&thread_);
        thread_.start();
    }

    QDBusConnection bus_;

private:
    QThread thread_;
    std::shared_mutex serving_;
    bool stopped_ = false;
};

} // namespace murmelin::test
