#include "X11HotKeySource.h"
#include "PasteChords.h"
#include "XDisplay.h"

#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

namespace murmelin {
namespace {

// "Ctrl+Alt+Space" as an X modifier mask and keysym, and the name stderr lines use. NoSymbol
// when a part is not understood.
unsigned long parseTrigger(const std::string& trigger, unsigned& mask, std::string& name) {
    struct Modifier {
        const char* word;
        unsigned mask;
        const char* name;
    };
    static constexpr Modifier modifiers[] = {
        {"ctrl", ControlMask, "Control+"}, {"control", ControlMask, "Control+"},
        {"alt", Mod1Mask, "Alt+"},         {"shift", ShiftMask, "Shift+"},
        {"super", Mod4Mask, "Super+"},     {"meta", Mod4Mask, "Super+"},
    };
    mask = 0;
    std::size_t from = 0;
    for (std::size_t plus; (plus = trigger.find('+', from)) != std::string::npos; from = plus + 1) {
        const std::string word = asciiLowered(trigger.substr(from, plus - from));
        const auto* m = std::find_if(std::begin(modifiers), std::end(modifiers),
                                     [&](const Modifier& x) { return word == x.word; });
        if (m == std::end(modifiers))
            return NoSymbol;
        mask |= m->mask;
        name += m->name;
    }
    const std::string key = trigger.substr(from);
    unsigned long keysym = XStringToKeysym(key.c_str());
    if (keysym == NoSymbol && !key.empty()) // "Space" is "space" to X
        keysym = XStringToKeysym(asciiLowered(key).c_str());
    name += key;
    return keysym;
}

} // namespace

X11HotKeySource::X11HotKeySource() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

X11HotKeySource::~X11HotKeySource() {
    stop();
    if (wakeFd_ >= 0)
        close(wakeFd_);
}

void X11HotKeySource::bind(const Shortcut& shortcut, std::function<void(ShortcutEdge)> onEdge,
                           std::function<void(ShortcutBinding)> onResult) {
    {
        std::lock_guard lock(handlerMutex_);
        handler_ = std::move(onEdge);
    }
    const HotKeyRegistration outcome = grabTrigger(shortcut.preferredTrigger);
    // X has no desktop in between that could give other keys than the ones asked for.
    if (onResult)
        onResult({outcome, shortcut.preferredTrigger});
}

HotKeyRegistration X11HotKeySource::grabTrigger(const std::string& trigger) {
    Grab wanted;
    wanted.keysym = parseTrigger(trigger, wanted.modifiers, wanted.name);
    if (wanted.keysym == NoSymbol) {
        std::fprintf(stderr, "murmelin: \"%s\" names no keys X knows\n", trigger.c_str());
        return HotKeyRegistration::unavailable;
    }

    stop();
    if (!display_)
        display_ = x11::openDisplay();
    if (!display_) {
        std::fprintf(stderr, "murmelin: no X display; %s is not available as a hot key\n",
                     wanted.name.c_str());
        return HotKeyRegistration::unavailable;
    }
    auto known = std::find_if(grabs_.begin(), grabs_.end(), [&](const Grab& g) {
        return g.keysym == wanted.keysym && g.modifiers == wanted.modifiers;
    });
    if (known == grabs_.end()) {
        grabs_.push_back(wanted);
        known = grabs_.end() - 1;
    } else {
        ungrab(*known); // what we hold of it; the other program's grabs stay
    }
    const bool taken = grab(*known);
    const bool noKey = known->keycode == 0;
    start();
    if (noKey)
        return HotKeyRegistration::unavailable;
    return taken ? HotKeyRegistration::taken : HotKeyRegistration::bound;
}

bool X11HotKeySource::grab(Grab& g) {
    Display* display = display_.get();
    g.keycode = XKeysymToKeycode(display, g.keysym);
    if (g.keycode == 0)
        return false;
    unsigned locks[4] = {0, LockMask, Mod2Mask, LockMask | Mod2Mask};
    if (x11::ModifierMapPtr map{XGetModifierMapping(display)}) {
        if (unsigned numLock = x11::modifierOf(display, *map, XK_Num_Lock)) {
            locks[2] = numLock;
            locks[3] = LockMask | numLock;
        }
    }
    x11::takeError(display);
    for (unsigned lock : locks)
        XGrabKey(display, g.keycode, g.modifiers | lock, DefaultRootWindow(display), False,
                 GrabModeAsync, GrabModeAsync);
    const bool taken = x11::takeError(display) == BadAccess;
    if (taken && !std::exchange(g.reported, true))
        std::fprintf(stderr, "murmelin: %s is taken by another program\n", g.name.c_str());
    if (!taken)
        g.reported = false; // a later loss is reported again
    // Held keys then repeat as presses only, with one release at the end.
    Bool supported = False;
    XkbSetDetectableAutoRepeat(display, True, &supported);
    XFlush(display);
    return taken;
}

void X11HotKeySource::ungrab(const Grab& g) {
    if (g.keycode != 0)
        XUngrabKey(display_.get(), g.keycode, AnyModifier, DefaultRootWindow(display_.get()));
}

void X11HotKeySource::regrabAll() {
    // down_ is kept: a key held across the change still owes its release.
    for (const Grab& g : grabs_)
        ungrab(g);
    for (Grab& g : grabs_)
        grab(g);
}

void X11HotKeySource::start() {
    uint64_t drained;
    while (read(wakeFd_, &drained, sizeof drained) > 0) {
    }
    thread_ = std::thread([this] { run(); });
}

void X11HotKeySource::stop() {
    if (!thread_.joinable())
        return;
    const uint64_t one = 1;
    while (write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    thread_.join();
}

void X11HotKeySource::run() {
    Display* display = display_.get();
    pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    for (;;) {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            handle(event);
        }
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents & POLLIN)
            return;
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
            return;
    }
}

void X11HotKeySource::handle(XEvent& event) {
    if (event.type == MappingNotify) {
        // A new layout may move the key or the Num Lock modifier: grab afresh.
        XRefreshKeyboardMapping(&event.xmapping);
        if (event.xmapping.request != MappingPointer)
            regrabAll();
        return;
    }
    if (event.type != KeyPress && event.type != KeyRelease)
        return;
    const unsigned char code = static_cast<unsigned char>(event.xkey.keycode);
    const bool ours = std::any_of(grabs_.begin(), grabs_.end(),
                                  [code](const Grab& g) { return g.keycode == code; });
    if (!ours)
        return;
    auto held = std::find(down_.begin(), down_.end(), code);
    if (event.type == KeyPress) {
        if (held != down_.end())
            return; // auto-repeat
        down_.push_back(code);
        {
            std::lock_guard lock(releaseMutex_);
            held_ = true;
        }
        dispatch(ShortcutEdge::pressed);
    } else {
        if (held == down_.end() || isRepeatRelease(event.xkey.keycode, event.xkey.time))
            return;
        down_.erase(held);
        // Released before the release is told: a paste that the release lets go must not be
        // held back again by a grab that is over.
        std::vector<std::function<void()>> jobs;
        {
            std::lock_guard lock(releaseMutex_);
            held_ = !down_.empty();
            if (!held_)
                jobs.swap(afterRelease_);
        }
        dispatch(ShortcutEdge::released);
        for (auto& job : jobs)
            job();
    }
}

bool X11HotKeySource::deferUntilReleased(std::function<void()> job) {
    std::lock_guard lock(releaseMutex_);
    if (!held_)
        return false;
    afterRelease_.push_back(std::move(job));
    return true;
}

// Without detectable auto-repeat a held key sends release/press pairs with equal times.
bool X11HotKeySource::isRepeatRelease(unsigned keycode, unsigned long time) {
    Display* display = display_.get();
    if (XEventsQueued(display, QueuedAfterReading) == 0)
        return false;
    XEvent next;
    XPeekEvent(display, &next);
    if (next.type != KeyPress || next.xkey.keycode != keycode || next.xkey.time != time)
        return false;
    XNextEvent(display, &next);
    return true;
}

void X11HotKeySource::dispatch(ShortcutEdge edge) {
    std::function<void(ShortcutEdge)> handler;
    {
        std::lock_guard lock(handlerMutex_);
        handler = handler_;
    }
    if (handler)
        handler(edge);
}

} // namespace murmelin
