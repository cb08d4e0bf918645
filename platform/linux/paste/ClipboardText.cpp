#include "ClipboardText.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

namespace murmelin {
namespace {

constexpr int kStallMilliseconds = 5000;

bool writeAll(int fd, const std::string& text) {
    // SIGPIPE from a reader that went away is raised on this thread, which keeps it blocked
    // and pending until the thread ends: write() answers EPIPE instead.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, kStallMilliseconds) > 0 && !(p.revents & (POLLERR | POLLHUP)))
                continue;
        }
        return false; // EPIPE, a stalled reader or another error: the reader gets what came
    }
    return true;
}

} // namespace

const std::vector<const char*>& clipboardTextTypes() {
    static const std::vector<const char*> types{"text/plain;charset=utf-8", "UTF8_STRING",
                                                "text/plain", "TEXT", "STRING"};
    return types;
}

void writeAndClose(int fd, std::shared_ptr<const std::string> text,
                   std::function<void(bool complete)> done) {
    try {
        std::thread([fd, text = std::move(text), done = std::move(done)] {
            const bool complete = writeAll(fd, *text);
            ::close(fd);
            if (done)
                done(complete);
        }).detach();
    } catch (const std::system_error&) {
        ::close(fd); // no thread to be had: the reader gets nothing rather than a hang
        if (done)
            done(false);
    }
}

} // namespace murmelin
