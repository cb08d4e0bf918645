#pragma once

#include "TempDir.h"

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace murmelin::test {

/// One notification as the session's notification server received it.
struct RecordedNotification {
    std::string appName;
    std::string summary;
    std::string body;
    unsigned id = 0;

    bool operator==(const RecordedNotification&) const = default;
};

/// What a command run in the session printed and how it ended.
struct CommandResult {
    int status = -1; ///< exit status, or -1 when it did not start or died of a signal
    std::string out; ///< its standard output
};

/// A private headless desktop (scripts/session.sh) for the life of the object: Xvfb with two
/// monitors (or a headless sway with two outputs), a session bus, window manager, compositor, tray
/// host, notification recorder and a PulseAudio server whose default source is a virtual
/// microphone. The destructor stops every process the session started, also when the test failed; a
/// watchdog stops it should the test process be killed. Nothing here touches this process's own
/// environment unless apply() is called. All calls are for the test's main thread.
class DesktopSession {
public:
    /// Starts the given parts ("x11", "wm", "compositor", "tray", "notify", or "sway", "kwin"
    /// or "gnome" instead of the X11 ones, and "pulse" or "pipewire" for the sound server;
    /// "gnome" takes "pipewire"; empty: all X11 ones, with "pulse").
    /// Throws std::runtime_error with session.sh's message when a part does not come up.
    explicit DesktopSession(std::vector<std::string> parts = {});
    ~DesktopSession();
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    /// The session's directory (env, pids, logs/).
    const std::string& dir() const { return dir_; }
    /// A variable of the session's environment (DISPLAY, DBUS_SESSION_BUS_ADDRESS, ...).
    std::optional<std::string> env(const std::string& name) const;
    /// Exports the session's environment into this process (for in-process Qt, Xlib, Pulse).
    void apply() const;

    /// Runs a command in the session and waits for it.
    CommandResult run(const std::vector<std::string>& argv) const;
    /// Starts a command in the background in the session; stop() ends it. Returns its pid.
    pid_t launch(const std::string& name, const std::vector<std::string>& argv) const;
    /// Starts the tests' Qt target window; returns the file that holds its text, once it has focus.
    std::string launchTargetWindow() const;
    /// Path of one of the test tools (notification_recorder, target_window, ...).
    std::string tool(const std::string& name) const;

    /// Plays a sound file into the virtual microphone, blocking until it has been played.
    bool play(const std::string& wav) const;
    /// Starts again what of the sound server has died (a test killed it) and waits until the
    /// virtual microphone is the default source again.
    bool restartSoundServer() const;
    /// Every notification received so far, oldest first.
    std::vector<RecordedNotification> notifications() const;
    /// Whether the desktop is a Wayland compositor (sway, KWin, mutter) rather than an X server.
    bool wayland() const { return env_.contains("WAYLAND_DISPLAY"); }
    /// Whether it is a headless mutter (the "gnome" part), with Xwayland on DISPLAY.
    bool gnome() const { return env("XDG_CURRENT_DESKTOP") == "GNOME"; }
    /// Whether it is KWin (screenshots through ScreenShot2, focus through a KWin script).
    bool kwin() const { return env("XDG_CURRENT_DESKTOP") == "KDE"; }
    /// Saves the whole screen (both monitors or outputs) as an image; on mutter through its
    /// screen cast (tools/mutter_shot.py, about a second).
    bool screenshot(const std::string& path) const;
    /// Saves an area of it (not on mutter, which casts whole frames only).
    bool screenshot(const std::string& path, int x, int y, int width, int height) const;
    /// The text on the clipboard; empty when nobody owns it. On mutter, which offers no
    /// data-control, read on Xwayland, which mutter keeps in step with its Wayland clipboard.
    std::string clipboard() const;
    /// sway: the app_id (or title) of the focused window; KWin: the active window's resource
    /// class (its app_id); "" when nothing has focus.
    std::string focusedAppId() const;
    /// The process owning the focused window (from _NET_WM_PID), or 0 when none is focused.
    pid_t activeWindowPid() const;
    /// Presses or releases one key (X keysym name, e.g. "Control_L", "space") through XTEST.
    bool keyDown(const std::string& keysym) const;
    bool keyUp(const std::string& keysym) const;
    /// Control+Alt+Space pressed in that order, or released in the reverse one. On sway a
    /// virtual keyboard holds the chord until the release ends it.
    bool pressHotKey() const;
    bool releaseHotKey() const;
    /// The key codes X sees as held on the session's display.
    std::vector<int> keysDown() const;
    /// `text` spoken by flite's rms voice (the one the recogniser hears best), as a 16 kHz mono
    /// WAV file in the session's folder with a pause on both sides; made once per text.
    std::string speak(const std::string& text) const;

    /// The processes the session started (including launch()ed ones), with their names.
    std::vector<std::pair<pid_t, std::string>> processes() const;
    /// Stops the session now; the destructor does nothing more. Returns false when processes
    /// were left.
    bool stop();

    /// Polls `done` every 10 ms until it holds or `timeout` has passed; returns the last answer.
    static bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout);

private:
    CommandResult script(const std::vector<std::string>& args) const;
    std::string kwinActiveClass() const;

    std::string buildDir_;
    TempDir folder_{"session"};
    std::string dir_ = folder_.path().string();
    std::map<std::string, std::string> env_;
    std::vector<std::string> unset_;
    bool running_ = false;
    mutable pid_t hotKeyHolder_ = 0; // the wtype holding the hot key on sway
};

/// Whole contents of a file, or nothing when it cannot be read.
std::optional<std::string> readFile(const std::string& path);
/// Whether the process runs (is neither gone nor an unreaped zombie).
bool isRunning(pid_t pid);

} // namespace murmelin::test
