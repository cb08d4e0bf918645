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
    ~ThreadedBusObject() override {
        QThread* here = QThread::currentThread();
        QMetaObject::invokeMethod(
            this, [this, here] { moveToThread(here); }, Qt::BlockingQueuedConnection);
        thread_.quit();
        thread_.wait();
        QDBusConnection::disconnectFromBus(bus_.name());
    }

protected:
    void serving() {
        moveToThread(&thread_);
        thread_.start();
    }

    QDBusConnection bus_;

private:
    QThread thread_;
};

} // namespace murmelin::test
