#include "WaylandToplevels.h"

#include "WaylandConnection.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

#include <wayland-client.h>

namespace murmelin {
namespace {

template <class T> void ignore(void*, zwlr_foreign_toplevel_handle_v1*, T) {}

} // namespace

const zwlr_foreign_toplevel_manager_v1_listener WaylandToplevels::managerListener{
    [](void* data, zwlr_foreign_toplevel_manager_v1*, zwlr_foreign_toplevel_handle_v1* handle) {
        // Data is null once the tracker has gone: the new handle is of no use to anyone.
        if (data)
            static_cast<WaylandToplevels*>(data)->added(handle);
        else
            zwlr_foreign_toplevel_handle_v1_destroy(handle);
    },
    [](void*, zwlr_foreign_toplevel_manager_v1*) {}, // finished: no more toplevels come
};

// The handle's events carry the Handle itself as their data.
const zwlr_foreign_toplevel_handle_v1_listener WaylandToplevels::handleListener{
    &ignore<const char*>, // title
    [](void* data, zwlr_foreign_toplevel_handle_v1*, const char* appId) {
        static_cast<Handle*>(data)->pendingAppId = appId ? appId : "";
    },
    &ignore<wl_output*>, // output_enter
    &ignore<wl_output*>, // output_leave
    [](void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* states) {
        auto* handle = static_cast<Handle*>(data);
        handle->pendingActivated = false;
        const auto* state = static_cast<const uint32_t*>(states->data);
        for (size_t i = 0; i < states->size / sizeof *state; ++i)
            if (state[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED)
                handle->pendingActivated = true;
    },
    [](void* data, zwlr_foreign_toplevel_handle_v1*) {
        auto* handle = static_cast<Handle*>(data);
        handle->owner->done(*handle);
    },
    [](void* data, zwlr_foreign_toplevel_handle_v1*) {
        auto* handle = static_cast<Handle*>(data);
        handle->owner->closed(*handle);
    },
};

WaylandToplevels::WaylandToplevels(WaylandConnection& connection) : connection_(connection) {
    if (connection_.offers().foreignToplevel)
        connection_.post([this] { start(); });
}

WaylandToplevels::~WaylandToplevels() {
    connection_.postAndWait([this] {
        if (auto* manager = connection_.toplevels())
            wl_proxy_set_user_data(reinterpret_cast<wl_proxy*>(manager), nullptr);
        std::lock_guard lock(mutex_);
        for (Handle& handle : handles_)
            zwlr_foreign_toplevel_handle_v1_destroy(handle.proxy);
        handles_.clear();
    });
}

void WaylandToplevels::start() {
    zwlr_foreign_toplevel_manager_v1_add_listener(connection_.toplevels(), &managerListener, this);
}

void WaylandToplevels::added(zwlr_foreign_toplevel_handle_v1* proxy) {
    std::lock_guard lock(mutex_);
    Handle& handle = handles_.emplace_back();
    handle.owner = this;
    handle.proxy = proxy;
    zwlr_foreign_toplevel_handle_v1_add_listener(proxy, &handleListener, &handle);
}

void WaylandToplevels::done(Handle& handle) {
    std::lock_guard lock(mutex_);
    handle.appId = handle.pendingAppId;
    if (handle.pendingActivated && !handle.activated)
        handle.activatedAt = ++activations_;
    handle.activated = handle.pendingActivated;
}

void WaylandToplevels::closed(Handle& handle) {
    zwlr_foreign_toplevel_handle_v1_destroy(handle.proxy);
    std::lock_guard lock(mutex_);
    handles_.remove_if([&](const Handle& h) { return &h == &handle; });
}

std::string WaylandToplevels::activeAppId() const {
    std::lock_guard lock(mutex_);
    const Handle* latest = nullptr;
    for (const Handle& handle : handles_)
        if (handle.activated && (!latest || handle.activatedAt > latest->activatedAt))
            latest = &handle;
    return latest ? latest->appId : std::string();
}

} // namespace murmelin
