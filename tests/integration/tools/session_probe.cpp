// Waits until the desktop pieces named on the command line are ready on $DISPLAY, so that
// scripts/session.sh hands out a session only once it is usable:
//   wm          a window manager announces itself (_NET_SUPPORTING_WM_CHECK, checked both ways)
//   compositor  _NET_WM_CM_S<screen> has an owner
//   tray        _NET_SYSTEM_TRAY_S<screen> has an owner (an XEmbed tray host)
// Usage: session_probe [--timeout-ms N] what...   Exit 0 when all are ready, 1 naming the
// missing ones after the timeout, 2 on bad usage.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

struct DisplayCloser {
    void operator()(Display* d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

struct XFreeDeleter {
    void operator()(unsigned char* p) const { XFree(p); }
};

int ignoreErrors(Display*, XErrorEvent*) {
    return 0;
}

// The window named by `prop` on `window`, or None.
Window windowProperty(Display* d, Window window, const char* prop) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* raw = nullptr;
    if (XGetWindowProperty(d, window, XInternAtom(d, prop, False), 0, 1, False, XA_WINDOW, &type,
                           &format, &count, &after, &raw) != Success)
        return None;
    std::unique_ptr<unsigned char, XFreeDeleter> data(raw);
    if (type != XA_WINDOW || format != 32 || count != 1)
        return None;
    return static_cast<Window>(*reinterpret_cast<unsigned long*>(data.get()));
}

bool ready(Display* d, const std::string& what) {
    const int screen = DefaultScreen(d);
    if (what == "wm") {
        const Window check = windowProperty(d, RootWindow(d, screen), "_NET_SUPPORTING_WM_CHECK");
        // A stale property from a dead manager names a window that no longer points to itself.
        return check != None && windowProperty(d, check, "_NET_SUPPORTING_WM_CHECK") == check;
    }
    const char* prefix = what == "compositor" ? "_NET_WM_CM_S"
                         : what == "tray"     ? "_NET_SYSTEM_TRAY_S"
                                              : nullptr;
    if (prefix == nullptr)
        return false;
    const std::string selection = prefix + std::to_string(screen);
    return XGetSelectionOwner(d, XInternAtom(d, selection.c_str(), False)) != None;
}

} // namespace

int main(int argc, char** argv) {
    long timeoutMs = 5000;
    std::vector<std::string> wanted;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--timeout-ms") == 0 && i + 1 < argc) {
            timeoutMs = std::strtol(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "wm") == 0 || std::strcmp(argv[i], "compositor") == 0 ||
                   std::strcmp(argv[i], "tray") == 0) {
            wanted.emplace_back(argv[i]);
        } else {
            std::fprintf(stderr, "session_probe: unknown argument '%s'\n", argv[i]);
            return 2;
        }
    }
    XSetErrorHandler(ignoreErrors);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    DisplayPtr display;
    while (true) {
        if (!display)
            display.reset(XOpenDisplay(nullptr));
        std::string missing;
        if (!display) {
            missing = " display";
        } else {
            for (const auto& what : wanted)
                if (!ready(display.get(), what))
                    missing += " " + what;
        }
        if (missing.empty())
            return 0;
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fprintf(stderr, "session_probe: not ready after %ld ms:%s\n", timeoutMs,
                         missing.c_str());
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
