#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <string>

struct zwlr_foreign_toplevel_handle_v1;
struct zwlr_foreign_toplevel_handle_v1_listener;
struct zwlr_foreign_toplevel_manager_v1_listener;

namespace murmelin {

class WaylandConnection;

// Which application has focus, as the compositor's foreign-toplevel list tells: the app_id of
// the toplevel whose state says activated.
class WaylandToplevels {
public:
    // Starts listening when the compositor offers the list.
    explicit WaylandToplevels(WaylandConnection& connection);
    ~WaylandToplevels();
    WaylandToplevels(const WaylandToplevels&) = delete;
    WaylandToplevels& operator=(const WaylandToplevels&) = delete;

    // Any thread. "" when no toplevel is activated (or the list is not offered).
    std::string activeAppId() const;

private:
    // One toplevel: what its events say, applied at its "done".
    struct Handle {
        WaylandToplevels* owner = nullptr;
        zwlr_foreign_toplevel_handle_v1* proxy = nullptr;
        std::string appId, pendingAppId;
        bool activated = false, pendingActivated = false;
        uint64_t activatedAt = 0; // of two activated (two seats), the later one counts
    };
    void start();
    void added(zwlr_foreign_toplevel_handle_v1* proxy);
    void done(Handle& handle);
    void closed(Handle& handle);
    static const ::zwlr_foreign_toplevel_manager_v1_listener managerListener;
    static const ::zwlr_foreign_toplevel_handle_v1_listener handleListener;

    WaylandConnection& connection_;
    mutable std::mutex mutex_;
    std::list<Handle> handles_; // made and erased on the Wayland thread; read under mutex_
    uint64_t activations_ = 0;
};

} // namespace murmelin
