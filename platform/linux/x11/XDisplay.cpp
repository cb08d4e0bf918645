#include "XDisplay.h"

#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <utility>

namespace murmelin::x11 {
namespace {

// Xlib's error handler is process-wide and its default ends the process. Ours records errors
// on the connections we opened and passes every other connection's errors on unchanged.
std::mutex errorsMutex;
std::map<Display*, int> lastErrors;
std::atomic<XErrorHandler> previousHandler = nullptr;

int recordError(Display* display, XErrorEvent* event) {
    {
        std::lock_guard lock(errorsMutex);
        auto it = lastErrors.find(display);
        if (it != lastErrors.end()) {
            it->second = event->error_code;
            return 0;
        }
    }
    const XErrorHandler previous = previousHandler.load();
    return previous ? previous(display, event) : 0;
}

// Xlib calls this when a connection breaks (the X server ended) and ends the process if it
// returns. Say so plainly and end at once, from whichever thread noticed: running exit()'s
// handlers there would race the threads that still work.
int lostDisplay(Display* display) {
    std::fprintf(stderr,
                 "murmelin: lost the connection to the X display %s (the X server "
                 "ended); quitting\n",
                 DisplayString(display));
    std::fflush(stderr);
    _exit(1);
}

void installErrorHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        previousHandler = XSetErrorHandler(recordError);
        XSetIOErrorHandler(lostDisplay);
    });
}

} // namespace

void DisplayCloser::operator()(Display* display) const {
    {
        std::lock_guard lock(errorsMutex);
        lastErrors.erase(display);
    }
    XCloseDisplay(display);
}

void XFreer::operator()(void* data) const {
    if (data)
        XFree(data);
}

void ModifierMapFreer::operator()(XModifierKeymap* map) const {
    XFreeModifiermap(map);
}

DisplayPtr openDisplay() {
    installErrorHandler();
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return nullptr;
    std::lock_guard lock(errorsMutex);
    lastErrors[display] = 0;
    return DisplayPtr(display);
}

int takeError(Display* display) {
    XSync(display, False);
    std::lock_guard lock(errorsMutex);
    auto it = lastErrors.find(display);
    if (it == lastErrors.end())
        return 0;
    return std::exchange(it->second, 0);
}

unsigned modifierOf(Display* display, const XModifierKeymap& map, unsigned long keysym) {
    const KeyCode code = XKeysymToKeycode(display, keysym);
    if (code == 0)
        return 0;
    for (int mod = 0; mod < 8; ++mod)
        for (int i = 0; i < map.max_keypermod; ++i)
            if (map.modifiermap[mod * map.max_keypermod + i] == code)
                return 1u << mod;
    return 0;
}

unsigned lockingModifiers(Display* display, const XModifierKeymap& map) {
    unsigned mask = LockMask;
    for (unsigned long keysym : {XK_Caps_Lock, XK_Shift_Lock, XK_Num_Lock, XK_Scroll_Lock})
        mask |= modifierOf(display, map, keysym);
    return mask;
}

std::vector<unsigned char> heldModifierKeys(Display* display) {
    std::vector<unsigned char> held;
    ModifierMapPtr map(XGetModifierMapping(display));
    if (!map)
        return held;
    char keys[32] = {};
    XQueryKeymap(display, keys);
    const unsigned locking = lockingModifiers(display, *map);
    for (int mod = 0; mod < 8; ++mod) {
        if (locking & (1u << mod))
            continue;
        for (int i = 0; i < map->max_keypermod; ++i) {
            const KeyCode code = map->modifiermap[mod * map->max_keypermod + i];
            const bool down = code != 0 && (keys[code / 8] & (1 << (code % 8)));
            if (down && std::find(held.begin(), held.end(), code) == held.end())
                held.push_back(code);
        }
    }
    return held;
}

} // namespace murmelin::x11
