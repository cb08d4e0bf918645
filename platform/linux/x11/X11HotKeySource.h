#pragma once

#include "XConnection.h"
#include "ports/Shortcuts.h"

union _XEvent; // Xlib's XEvent

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace murmelin {

// The global hot key on X11: a passive grab on the root window, served by a thread with an
// X connection of its own. Presses are reported once per physical press (auto-repeat is
// folded away) and the release is matched by key, whatever modifiers are still held.
class X11HotKeySource final : public HotKeySource {
public:
    X11HotKeySource();
    ~X11HotKeySource() override;
    X11HotKeySource(const X11HotKeySource&) = delete;
    X11HotKeySource& operator=(const X11HotKeySource&) = delete;

    // Main thread. Grabs the shortcut's preferred trigger (also under Caps and Num Lock),
    // answers at once and starts listening; edges are reported on the source's own thread.
    // Again for the same trigger, grabs it afresh. A trigger held by another program (taken)
    // or a missing display (unavailable) also leaves one line on stderr.
    void bind(const Shortcut& shortcut, std::function<void(ShortcutEdge)> onEdge,
              std::function<void(ShortcutBinding)> onResult) override;
    // Any thread. While the combination is held, the X server sends every key event to our
    // grab, synthetic ones included, so a paste then would land here instead of in the
    // focused window. Returns false when nothing is held; otherwise keeps `job` and runs it
    // on the source's thread right after the release has ended the grab.
    bool deferUntilReleased(std::function<void()> job);

private:
    struct Grab {
        unsigned long keysym;
        unsigned modifiers;
        unsigned char keycode = 0;
        std::string name;
        bool reported = false; // the taken-by-another-program line, once
    };

    // Whether the server refused the grab because another client holds the combination.
    bool grab(Grab& grab);
    void ungrab(const Grab& grab);
    void regrabAll();
    void start();
    void stop();
    void run();
    void handle(union _XEvent& event);
    bool isRepeatRelease(unsigned keycode, unsigned long time);
    HotKeyRegistration grabTrigger(const std::string& trigger);
    void dispatch(ShortcutEdge edge);

    std::mutex handlerMutex_;
    std::function<void(ShortcutEdge)> handler_;
    x11::DisplayPtr display_;
    // Touched by the caller only while the thread is stopped, otherwise by the thread alone.
    std::vector<Grab> grabs_;
    std::vector<unsigned char> down_;
    std::mutex releaseMutex_;
    bool held_ = false; // mirrors !down_.empty() for other threads
    std::vector<std::function<void()>> afterRelease_;
    int wakeFd_ = -1;
    std::thread thread_;
};

} // namespace murmelin
