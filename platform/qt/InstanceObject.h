#pragma once

#include <QObject>

#include <functional>

namespace murmelin {

// What every running instance offers on the session bus, whatever its desktop: `murmelin quit`.
// (The key commands are exported only where the desktop gives no key grab.) Main thread.
class InstanceObject : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "io.github.murmelin.Murmelin1")

public:
    explicit InstanceObject(std::function<void()> onQuit);
    ~InstanceObject() override;
    InstanceObject(const InstanceObject&) = delete;
    InstanceObject& operator=(const InstanceObject&) = delete;

    // Exports the object beside the program's name; false without a session bus.
    bool exportOnSessionBus();

public slots:
    // Answers first, then quits from the event loop, so the caller is not left without a reply.
    Q_SCRIPTABLE void Quit();

private:
    std::function<void()> onQuit_;
    bool exported_ = false;
};

} // namespace murmelin
