#pragma once

#include "BusNames.h"

#include <string>

namespace murmelin {

// One Murmelin per session: owns kBusName on the session bus or, with no bus, holds a lock
// on $XDG_RUNTIME_DIR/murmelin-<display>.lock. Released when the object goes (or the process
// ends). Main thread; needs a QCoreApplication.
class SingleInstance {
public:
    SingleInstance();
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Another instance of this session holds the name or the lock.
    bool alreadyRunning() const { return alreadyRunning_; }
    // Why neither could be checked ("" when one was): the program then runs anyway.
    const std::string& problem() const { return problem_; }

    // The lock file used without a session bus.
    static std::string lockPath();

private:
    bool alreadyRunning_ = false;
    bool ownsName_ = false;
    int lockFd_ = -1;
    std::string problem_;
};

} // namespace murmelin
