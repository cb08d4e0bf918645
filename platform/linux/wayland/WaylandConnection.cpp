#include "WaylandConnection.h"

#include "LayerShellProtocol.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>

namespace murmelin {
namespace {

// The versions this program speaks; a compositor may offer newer ones.
constexpr uint32_t kCompositorVersion = 4; // damage_buffer
constexpr uint32_t kDataControlVersion = 2;
constexpr uint32_t kToplevelVersion = 2;
constexpr uint32_t kLayerShellVersion = 4;

template <class T>
T* bind(wl_registry* registry, uint32_t name, const wl_interface* interface, uint32_t offered,
        uint32_t wanted) {
    return static_cast<T*>(wl_registry_bind(registry, name, interface, std::min(offered, wanted)));
}

void wakeUp(int fd) {
    const uint64_t one = 1;
    // Fails only when the counter is full, and then the thread is woken anyway.
    [[maybe_unused]] ssize_t written = ::write(fd, &one, sizeof one);
}

} // namespace

std::string WaylandOffers::describe() const {
    std::string offered, missing;
    auto note = [&](bool has, const char* name) {
        std::string& list = has ? offered : missing;
        list += list.empty() ? name : std::string(", ") + name;
    };
    note(seat, "wl_seat");
    note(virtualKeyboard, "zwp_virtual_keyboard_manager_v1");
    note(dataControl > 0, dataControl > 1 ? "zwlr_data_control_manager_v1 (with primary)"
                                          : "zwlr_data_control_manager_v1");
    note(foreignToplevel, "zwlr_foreign_toplevel_manager_v1");
    note(layerShell, "zwlr_layer_shell_v1");
    note(compositor && shm, "wl_compositor and wl_shm");
    return "offered: " + (offered.empty() ? std::string("none") : offered) +
           "; missing: " + (missing.empty() ? std::string("none") : missing);
}

void WaylandOffers::note(const char* interface, uint32_t version) {
    auto is = [interface](const wl_interface& i) { return std::strcmp(interface, i.name) == 0; };
    if (is(wl_seat_interface))
        seat = true;
    else if (is(wl_shm_interface))
        shm = true;
    else if (is(wl_compositor_interface))
        compositor = true;
    else if (is(zwp_virtual_keyboard_manager_v1_interface))
        virtualKeyboard = true;
    else if (is(zwlr_data_control_manager_v1_interface))
        dataControl = std::min(version, kDataControlVersion);
    else if (is(zwlr_foreign_toplevel_manager_v1_interface))
        foreignToplevel = true;
    else if (is(zwlr_layer_shell_v1_interface))
        layerShell = true;
}

std::optional<WaylandOffers> probeWaylandOffers(std::string& problem) {
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        const char* name = std::getenv("WAYLAND_DISPLAY");
        problem = std::string("cannot connect to the Wayland display ") +
                  (name ? name : "wayland-0") + ": " + std::strerror(errno);
        return std::nullopt;
    }
    WaylandOffers offers;
    static const wl_registry_listener listener{
        [](void* data, wl_registry*, uint32_t, const char* interface, uint32_t version) {
            static_cast<WaylandOffers*>(data)->note(interface, version);
        },
        [](void*, wl_registry*, uint32_t) {}};
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &listener, &offers);
    const bool answered = wl_display_roundtrip(display) >= 0;
    if (!answered)
        problem = std::string("the Wayland compositor did not answer: ") +
                  std::strerror(wl_display_get_error(display));
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return answered ? std::optional(offers) : std::nullopt;
}

std::unique_ptr<WaylandConnection> WaylandConnection::connect(std::string& problem) {
    std::unique_ptr<WaylandConnection> c(new WaylandConnection);
    c->display_ = wl_display_connect(nullptr);
    if (!c->display_) {
        const char* name = std::getenv("WAYLAND_DISPLAY");
        problem = std::string("cannot connect to the Wayland display ") +
                  (name ? name : "wayland-0") + ": " + std::strerror(errno);
        return nullptr;
    }
    static const wl_registry_listener listener{&WaylandConnection::global,
                                               &WaylandConnection::globalRemove};
    c->registry_ = wl_display_get_registry(c->display_);
    wl_registry_add_listener(c->registry_, &listener, c.get());
    if (wl_display_roundtrip(c->display_) < 0) {
        problem = std::string("the Wayland compositor did not answer: ") +
                  std::strerror(wl_display_get_error(c->display_));
        return nullptr;
    }
    c->wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (c->wake_ < 0) {
        problem = std::string("cannot make an eventfd: ") + std::strerror(errno);
        return nullptr;
    }
    c->thread_ = std::thread([raw = c.get()] { raw->run(); });
    return c;
}

void WaylandConnection::global(void* data, wl_registry* registry, uint32_t name,
                               const char* interface, uint32_t version) {
    auto* self = static_cast<WaylandConnection*>(data);
    self->offers_.note(interface, version);
    auto is = [interface](const wl_interface& i) { return std::strcmp(interface, i.name) == 0; };
    // The first seat is the user's; a second one (rare) is ignored.
    if (is(wl_seat_interface) && !self->seat_) {
        self->seat_ = bind<wl_seat>(registry, name, &wl_seat_interface, version, 1);
    } else if (is(wl_shm_interface)) {
        self->shm_ = bind<wl_shm>(registry, name, &wl_shm_interface, version, 1);
    } else if (is(wl_compositor_interface)) {
        self->compositor_ = bind<wl_compositor>(registry, name, &wl_compositor_interface, version,
                                                kCompositorVersion);
    } else if (is(zwp_virtual_keyboard_manager_v1_interface)) {
        self->virtualKeyboards_ = bind<zwp_virtual_keyboard_manager_v1>(
            registry, name, &zwp_virtual_keyboard_manager_v1_interface, version, 1);
    } else if (is(zwlr_data_control_manager_v1_interface)) {
        self->dataControl_ = bind<zwlr_data_control_manager_v1>(
            registry, name, &zwlr_data_control_manager_v1_interface, version, kDataControlVersion);
    } else if (is(zwlr_foreign_toplevel_manager_v1_interface)) {
        self->toplevels_ = bind<zwlr_foreign_toplevel_manager_v1>(
            registry, name, &zwlr_foreign_toplevel_manager_v1_interface, version, kToplevelVersion);
    } else if (is(zwlr_layer_shell_v1_interface)) {
        self->layerShell_ = bind<zwlr_layer_shell_v1>(
            registry, name, &zwlr_layer_shell_v1_interface, version, kLayerShellVersion);
    }
}

WaylandConnection::~WaylandConnection() {
    if (thread_.joinable()) {
        stopping_ = true;
        wakeUp(wake_);
        thread_.join();
    }
    if (wake_ >= 0)
        ::close(wake_);
    // The adapters have destroyed their objects by now; these are the globals. After a loss
    // the proxies are only freed, nothing more is sent.
    if (display_) {
        for (wl_proxy* p :
             {reinterpret_cast<wl_proxy*>(seat_), reinterpret_cast<wl_proxy*>(shm_),
              reinterpret_cast<wl_proxy*>(compositor_),
              reinterpret_cast<wl_proxy*>(virtualKeyboards_),
              reinterpret_cast<wl_proxy*>(dataControl_), reinterpret_cast<wl_proxy*>(toplevels_),
              reinterpret_cast<wl_proxy*>(layerShell_), reinterpret_cast<wl_proxy*>(registry_)})
            if (p)
                wl_proxy_destroy(p);
        wl_display_disconnect(display_);
    }
}

void WaylandConnection::post(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        if (!accepting_)
            return;
        jobs_.push_back(std::move(job));
    }
    wakeUp(wake_);
}

bool WaylandConnection::postAndWait(std::function<void()> job) {
    if (onThread()) {
        job();
        return true;
    }
    // A job dropped unrun destroys the promise, which the future reports as broken.
    auto shared = std::make_shared<std::function<void()>>(std::move(job));
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ran = done->get_future();
    post([shared, done = std::move(done)] {
        (*shared)();
        done->set_value();
    });
    try {
        ran.get();
        return true;
    } catch (const std::future_error&) {
    }
    // Dropped because the connection is lost, after which its thread calls libwayland no
    // more: the job runs here. Nothing goes out on a broken display; destroying a proxy then
    // only frees it.
    if (!lost_)
        return false;
    (*shared)();
    return true;
}

void WaylandConnection::setOnLost(std::function<void()> onLost) {
    std::lock_guard lock(mutex_);
    onLost_ = std::move(onLost);
}

bool WaylandConnection::runJobs() {
    std::deque<std::function<void()>> jobs;
    {
        std::lock_guard lock(mutex_);
        jobs.swap(jobs_);
    }
    for (auto& job : jobs) {
        if (lost_)
            return false;
        job();
    }
    return !lost_;
}

void WaylandConnection::loseConnection(const std::string& why) {
    if (lost_.exchange(true))
        return;
    std::fprintf(stderr,
                 "murmelin: lost the connection to the Wayland compositor (%s); the clipboard, "
                 "paste and panel of this session stop working\n",
                 why.c_str());
    std::function<void()> onLost;
    {
        std::lock_guard lock(mutex_);
        onLost = onLost_;
    }
    if (onLost)
        onLost();
}

void WaylandConnection::run() {
    const int fd = wl_display_get_fd(display_);
    auto failed = [this](const char* what) {
        const int error = wl_display_get_error(display_);
        loseConnection(std::string(what) + ": " + std::strerror(error ? error : errno));
    };
    while (!stopping_ && !lost_) {
        if (!runJobs())
            break;
        bool dispatched = true;
        while (dispatched && wl_display_prepare_read(display_) != 0)
            dispatched = wl_display_dispatch_pending(display_) >= 0;
        if (!dispatched) {
            failed("dispatching its events");
            break;
        }
        // Everything queued goes out before the wait; a full socket is waited on too.
        bool pendingOut = false;
        if (wl_display_flush(display_) < 0) {
            if (errno != EAGAIN) {
                wl_display_cancel_read(display_);
                failed("sending to it");
                break;
            }
            pendingOut = true;
        }
        pollfd fds[2] = {{fd, short(POLLIN | (pendingOut ? POLLOUT : 0)), 0}, {wake_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            wl_display_cancel_read(display_);
            if (errno == EINTR)
                continue;
            failed("waiting for it");
            break;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (wl_display_read_events(display_) < 0) {
                failed("reading from it");
                break;
            }
        } else {
            wl_display_cancel_read(display_);
        }
        if (wl_display_dispatch_pending(display_) < 0) {
            failed("dispatching its events");
            break;
        }
        if (fds[1].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] ssize_t got = ::read(wake_, &count, sizeof count);
        }
    }
    // From here on post() drops its jobs, and those still queued go unrun, which wakes the
    // waiters of postAndWait().
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(mutex_);
        accepting_ = false;
        dropped.swap(jobs_);
    }
}

} // namespace murmelin
