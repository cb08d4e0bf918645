#include "SingleInstance.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace murmelin {

std::string SingleInstance::lockPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string dir =
        runtime && *runtime ? runtime : "/tmp/murmelin-" + std::to_string(getuid());
    std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    for (char& c : display)
        if (c == '/')
            c = '_';
    return dir + "/murmelin-" + display + ".lock";
}

SingleInstance::SingleInstance() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (QDBusConnectionInterface* names = bus.isConnected() ? bus.interface() : nullptr) {
        const QString name = QLatin1String(kBusName);
        // Queued behind the owner: an instance that is just ending (a restart) hands the
        // name over within moments; one that runs on keeps it.
        const auto reply = names->registerService(name, QDBusConnectionInterface::QueueService,
                                                  QDBusConnectionInterface::DontAllowReplacement);
        if (reply.isValid()) {
            ownsName_ = reply.value() == QDBusConnectionInterface::ServiceRegistered;
            for (int i = 0; i < 10 && !ownsName_; ++i) {
                usleep(50'000);
                ownsName_ = names->serviceOwner(name).value() == bus.baseService();
            }
            if (!ownsName_)
                names->unregisterService(name); // leaves the queue
            alreadyRunning_ = !ownsName_;
            return;
        }
    }
    // No bus: one lock per user and display.
    const std::string path = lockPath();
    if (!std::getenv("XDG_RUNTIME_DIR"))
        mkdir(path.substr(0, path.rfind('/')).c_str(), 0700);
    lockFd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) {
        problem_ = "cannot open " + path + ": " + std::strerror(errno);
        return;
    }
    if (flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            alreadyRunning_ = true;
        else
            problem_ = "cannot lock " + path + ": " + std::strerror(errno);
        close(lockFd_);
        lockFd_ = -1;
    }
}

SingleInstance::~SingleInstance() {
    if (ownsName_)
        QDBusConnection::sessionBus().unregisterService(QLatin1String(kBusName));
    if (lockFd_ >= 0)
        close(lockFd_);
}

} // namespace murmelin
