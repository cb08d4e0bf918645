#pragma once

// A private X server for one test executable: Xvfb picks a free display number itself
// (-displayfd), so a display that the caller or another test uses is never touched.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace murmelin::testing {

class XvfbServer {
public:
    explicit XvfbServer(std::vector<std::string> extraArgs = {}) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], 3); // dup2 clears close-on-exec on the copy
            const int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 1);
            dup2(devnull, 2);
            std::vector<std::string> args = {"Xvfb",         "-displayfd", "3",   "-screen", "0",
                                             "1280x1024x24", "-nolisten",  "tcp", "-noreset"};
            args.insert(args.end(), extraArgs.begin(), extraArgs.end());
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execvp("Xvfb", argv.data());
            _exit(127);
        }
        close(fds[1]);
        // The server writes its display number and a newline once it accepts connections.
        pollfd readable{fds[0], POLLIN, 0};
        std::string number;
        char c = 0;
        while (pid_ > 0 && poll(&readable, 1, 10000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        if (c == '\n' && !number.empty())
            display_ = ":" + number;
        close(fds[0]);
    }

    ~XvfbServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // ":N", or "" when the server did not come up.
    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

// Sets an environment variable for the scope of a test, or unsets it, then puts it back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old, hadOld_ = true;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { hadOld_ ? setenv(name_.c_str(), old_.c_str(), 1) : unsetenv(name_.c_str()); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_, old_;
    bool hadOld_ = false;
};

} // namespace murmelin::testing
