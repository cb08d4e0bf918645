// Start-up and idle cost of the real program: the time from starting `murmelin` until its
// icon is docked in the system tray, and the CPU time and wake-ups it spends while idle.
// Run inside a session with a tray:  scripts/session.sh run <dir> build/bench/StartupBench
// Optional arguments: [runs] [idle-seconds] [path to murmelin].
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

struct DisplayCloser {
    void operator()(Display* d) const { XCloseDisplay(d); }
};

bool hasClass(Display* d, Window w, const char* name) {
    XClassHint hint{};
    if (!XGetClassHint(d, w, &hint))
        return false;
    const bool match = hint.res_name && std::string(hint.res_name) == name;
    if (hint.res_name)
        XFree(hint.res_name);
    if (hint.res_class)
        XFree(hint.res_class);
    return match;
}

// Whether a window of WM_CLASS `name` sits somewhere below `w`.
bool below(Display* d, Window w, const char* name, int depth = 0) {
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(d, w, &root, &parent, &children, &count))
        return false;
    std::unique_ptr<Window, int (*)(void*)> owned(children, XFree);
    for (unsigned i = 0; i < count; ++i)
        if ((depth > 0 && hasClass(d, children[i], name)) ||
            (depth < 4 && below(d, children[i], name, depth + 1)))
            return true;
    return false;
}

// The tray host's top-level window: the owner of the tray selection, up to the root.
Window trayWindow(Display* d) {
    const std::string selection = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(d));
    Window w = XGetSelectionOwner(d, XInternAtom(d, selection.c_str(), False));
    return w;
}

struct Usage {
    long ticks = 0;   // user + system of the whole process, ended threads included
    long wakeups = 0; // voluntary context switches of the threads alive now
};

// User + system ticks from a /proc stat file.
long cpuTicks(const fs::path& statFile) {
    std::ifstream stat(statFile);
    std::string all((std::istreambuf_iterator<char>(stat)), {});
    if (all.empty())
        return 0;
    std::istringstream fields(all.substr(all.rfind(')') + 2));
    std::string f;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i)
        if (i == 14 || i == 15)
            ticks += std::stol(f);
    return ticks;
}

Usage usage(pid_t pid) {
    Usage u;
    const fs::path proc = "/proc/" + std::to_string(pid);
    u.ticks = cpuTicks(proc / "stat");
    std::error_code error;
    for (const auto& task : fs::directory_iterator(proc / "task", error)) {
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                u.wakeups += std::stol(line.substr(24));
    }
    return u;
}

pid_t start(const std::string& program) {
    pid_t pid = -1;
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0)
        return -1;
    return pid;
}

void stop(pid_t pid) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 10;
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;
    const std::string program =
        argc > 3 ? argv[3]
                 : (fs::read_symlink("/proc/self/exe").parent_path().parent_path() /
                    "platform/qt/murmelin")
                       .string();
    std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    if (!display) {
        std::fprintf(stderr, "StartupBench: no X display; run it inside scripts/session.sh\n");
        return 2;
    }
    Display* d = display.get();
    if (trayWindow(d) == None) {
        std::fprintf(stderr, "StartupBench: no system tray on this display\n");
        return 2;
    }

    std::vector<double> ms, cpuMs, mainMs;
    const long hz = sysconf(_SC_CLK_TCK);
    pid_t last = -1;
    for (int run = 0; run < runs; ++run) {
        const auto begin = Clock::now();
        const pid_t pid = start(program);
        if (pid < 0) {
            std::fprintf(stderr, "StartupBench: cannot start %s\n", program.c_str());
            return 2;
        }
        bool docked = false;
        while (!docked && Clock::now() - begin < std::chrono::seconds(10)) {
            // The tray host reparents the icon into its own windows: search the whole tree.
            docked = below(d, DefaultRootWindow(d), "murmelin");
            if (!docked)
                std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
        // CPU spent until then: what the wall time would be on an idle machine, at most.
        cpuMs.push_back(1000.0 * usage(pid).ticks / hz);
        const fs::path mainThread =
            "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/stat";
        mainMs.push_back(1000.0 * cpuTicks(mainThread) / hz);
        if (!docked)
            std::fprintf(stderr, "run %d: the icon never docked\n", run);
        if (run + 1 < runs) {
            stop(pid);
            std::this_thread::sleep_for(std::chrono::milliseconds(200)); // let the tray settle
        } else {
            last = pid;
        }
    }
    std::vector<double> sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    std::printf(
        "start-up to docked tray icon over %d runs: min %.1f ms, median %.1f ms, max %.1f ms\n",
        runs, sorted.front(), sorted[sorted.size() / 2], sorted.back());
    std::sort(cpuMs.begin(), cpuMs.end());
    std::sort(mainMs.begin(), mainMs.end());
    std::printf("CPU time until docked, in 10 ms ticks: median %.0f ms all threads (a model may be "
                "loading in the background), %.0f ms main thread\n",
                cpuMs[cpuMs.size() / 2], mainMs[mainMs.size() / 2]);

    // Let start() and any background model load finish before measuring the idle state.
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const Usage before = usage(last);
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const Usage after = usage(last);
    std::printf("idle for %d s: %.3f s CPU (%ld ticks at %ld Hz), %ld wake-ups of all threads\n",
                idleSeconds, double(after.ticks - before.ticks) / hz, after.ticks - before.ticks,
                hz, after.wakeups - before.wakeups);
    stop(last);
    return sorted[sorted.size() / 2] < 300 ? 0 : 1;
}
