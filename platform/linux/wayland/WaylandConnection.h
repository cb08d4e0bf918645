#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct wl_compositor;
struct wl_display;
struct wl_registry;
struct wl_seat;
struct wl_shm;
struct zwlr_data_control_manager_v1;
struct zwlr_foreign_toplevel_manager_v1;
struct zwlr_layer_shell_v1;
struct zwp_virtual_keyboard_manager_v1;

namespace murmelin {

// Which of the globals the program uses the compositor offers; 0 for a version means absent.
struct WaylandOffers {
    bool seat = false;
    bool shm = false;
    bool compositor = false;
    bool virtualKeyboard = false; // zwp_virtual_keyboard_manager_v1: the paste
    uint32_t dataControl = 0;     // zwlr_data_control_manager_v1: the clipboard; 2 has primary
    bool foreignToplevel = false; // zwlr_foreign_toplevel_manager_v1: the focused app_id
    bool layerShell = false;      // zwlr_layer_shell_v1: the panel

    bool canPaste() const { return seat && virtualKeyboard; }
    bool canCopy() const { return seat && dataControl > 0; }
    bool canShowPanels() const { return compositor && shm && layerShell; }
    // One line for stderr: what is offered and what is missing.
    std::string describe() const;
    // Notes one global the compositor announced (registry `global` event).
    void note(const char* interface, uint32_t version);
};

// What the compositor that WAYLAND_DISPLAY names offers, asked on a short connection of its
// own with no thread (before the toolkit starts, to choose its platform). Nothing, with
// `problem` saying why, when there is no compositor to ask.
std::optional<WaylandOffers> probeWaylandOffers(std::string& problem);

// One connection to the Wayland compositor with an event thread of its own. Every Wayland
// object of the program is made, used and destroyed on that thread only (libwayland's
// proxies are not safe to share): other threads hand it work with post(). When the
// compositor goes away the loss is said once on stderr and nothing is sent again; jobs
// posted from then on are dropped.
class WaylandConnection {
public:
    // Connects to the compositor that WAYLAND_DISPLAY names and binds the globals above.
    // Null, with `problem` saying why, when there is none to connect to.
    static std::unique_ptr<WaylandConnection> connect(std::string& problem);
    // Stops the thread (jobs still queued are dropped) and disconnects.
    ~WaylandConnection();
    WaylandConnection(const WaylandConnection&) = delete;
    WaylandConnection& operator=(const WaylandConnection&) = delete;

    // Any thread.
    const WaylandOffers& offers() const { return offers_; }
    bool lost() const { return lost_.load(); }
    // Runs `job` on the Wayland thread, in the order posted.
    void post(std::function<void()> job);
    // Runs `job` there and waits for it: what the adapters' destructors use. Once the
    // connection is lost it runs on the caller instead (requests then go nowhere, and
    // destroying proxies only frees them); false when it did not run (closing). From the
    // Wayland thread itself it runs at once.
    bool postAndWait(std::function<void()> job);
    // Called on the Wayland thread once, when the connection is lost.
    void setOnLost(std::function<void()> onLost);
    bool onThread() const { return std::this_thread::get_id() == thread_.get_id(); }

    // The Wayland thread only. Null when not offered.
    wl_display* display() const { return display_; }
    wl_seat* seat() const { return seat_; }
    wl_shm* shm() const { return shm_; }
    wl_compositor* compositor() const { return compositor_; }
    zwp_virtual_keyboard_manager_v1* virtualKeyboards() const { return virtualKeyboards_; }
    zwlr_data_control_manager_v1* dataControl() const { return dataControl_; }
    zwlr_foreign_toplevel_manager_v1* toplevels() const { return toplevels_; }
    zwlr_layer_shell_v1* layerShell() const { return layerShell_; }

private:
    WaylandConnection() = default;
    static void global(void* self, wl_registry* registry, uint32_t name, const char* interface,
                       uint32_t version);
    static void globalRemove(void*, wl_registry*, uint32_t) {}
    void run();
    bool runJobs();
    void loseConnection(const std::string& why);

    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    wl_seat* seat_ = nullptr;
    wl_shm* shm_ = nullptr;
    wl_compositor* compositor_ = nullptr;
    zwp_virtual_keyboard_manager_v1* virtualKeyboards_ = nullptr;
    zwlr_data_control_manager_v1* dataControl_ = nullptr;
    zwlr_foreign_toplevel_manager_v1* toplevels_ = nullptr;
    zwlr_layer_shell_v1* layerShell_ = nullptr;
    WaylandOffers offers_;

    int wake_ = -1; // eventfd: a job was posted, or the thread should stop
    std::mutex mutex_;
    std::deque<std::function<void()>> jobs_; // guarded by mutex_
    bool accepting_ = true;                  // guarded by mutex_
    std::function<void()> onLost_;           // guarded by mutex_
    std::atomic<bool> stopping_{false};
    std::atomic<bool> lost_{false};
    std::thread thread_;
};

} // namespace murmelin
