#include "WaylandLayerPanel.h"

#include "LayerShellProtocol.h"
#include "WaylandConnection.h"

#include <wayland-client.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace murmelin {

// One wl_shm buffer: busy from its commit until the compositor releases it.
struct WaylandLayerPanel::Buffer {
    WaylandLayerPanel* owner = nullptr;
    wl_buffer* buffer = nullptr;
    void* data = MAP_FAILED;
    size_t size = 0;
    int width = 0, height = 0;
    bool busy = false;

    ~Buffer() {
        if (buffer)
            wl_buffer_destroy(buffer);
        if (data != MAP_FAILED)
            ::munmap(data, size);
    }
};

namespace {

constexpr size_t kMaxBuffers = 3; // one shown, one on its way, one being drawn

} // namespace

WaylandLayerPanel::WaylandLayerPanel(WaylandConnection& connection) : connection_(connection) {}

WaylandLayerPanel::~WaylandLayerPanel() {
    connection_.postAndWait([this] {
        unmap();
        buffers_.clear();
    });
}

void WaylandLayerPanel::setBottomMargin(int pixels) {
    {
        std::lock_guard lock(mutex_);
        bottomMargin_ = std::max(0, pixels);
    }
    connection_.post([this] {
        if (layer_)
            present();
    });
}

void WaylandLayerPanel::show(const uint32_t* pixels, int width, int height, int stride) {
    if (width <= 0 || height <= 0)
        return;
    bool post = false;
    {
        std::lock_guard lock(mutex_);
        latest_.width = width;
        latest_.height = height;
        latest_.pixels.resize(size_t(width) * size_t(height));
        for (int y = 0; y < height; ++y)
            std::memcpy(&latest_.pixels[size_t(y) * size_t(width)],
                        reinterpret_cast<const char*>(pixels) + size_t(y) * size_t(stride),
                        size_t(width) * 4);
        post = !std::exchange(presentPending_, true);
    }
    // Frames that come faster than the Wayland thread draws them collapse into the latest.
    if (post)
        connection_.post([this] { present(); });
}

void WaylandLayerPanel::hide() {
    connection_.post([this] {
        {
            std::lock_guard lock(mutex_);
            presentPending_ = false;
        }
        unmap();
        buffers_.clear();
    });
}

void WaylandLayerPanel::present() {
    int margin = 0;
    {
        std::lock_guard lock(mutex_);
        if (presentPending_) {
            drawn_ = latest_;
            drawPending_ = true;
            presentPending_ = false;
        }
        margin = bottomMargin_;
    }
    if (drawn_.width == 0)
        return;
    if (layer_ && (drawn_.width != mappedWidth_ || drawn_.height != mappedHeight_))
        unmap(); // a new size is a new surface, configured afresh
    if (!layer_) {
        map(drawn_.width, drawn_.height);
        appliedMargin_ = -1;
    }
    if (margin != appliedMargin_) {
        zwlr_layer_surface_v1_set_margin(layer_, 0, 0, margin, 0);
        appliedMargin_ = margin;
        drawPending_ = true; // the margin applies with the next commit
    }
    if (configured_ && drawPending_)
        draw();
}

void WaylandLayerPanel::map(int width, int height) {
    surface_ = wl_compositor_create_surface(connection_.compositor());
    // Nothing in the input region: pointer and touch go to whatever is below.
    wl_region* nowhere = wl_compositor_create_region(connection_.compositor());
    wl_surface_set_input_region(surface_, nowhere);
    wl_region_destroy(nowhere);
    // No output: the compositor puts it on the one it deems focused.
    layer_ = zwlr_layer_shell_v1_get_layer_surface(connection_.layerShell(), surface_, nullptr,
                                                   ZWLR_LAYER_SHELL_V1_LAYER_OVERLAY, "murmelin");
    static const zwlr_layer_surface_v1_listener listener{
        [](void* data, zwlr_layer_surface_v1*, uint32_t serial, uint32_t, uint32_t) {
            static_cast<WaylandLayerPanel*>(data)->configured(serial);
        },
        // Closed by the compositor (its output went): the next show() maps a new one.
        [](void* data, zwlr_layer_surface_v1*) {
            auto* self = static_cast<WaylandLayerPanel*>(data);
            self->unmap();
            self->buffers_.clear();
        },
    };
    zwlr_layer_surface_v1_add_listener(layer_, &listener, this);
    zwlr_layer_surface_v1_set_size(layer_, uint32_t(width), uint32_t(height));
    zwlr_layer_surface_v1_set_anchor(layer_, ZWLR_LAYER_SURFACE_V1_ANCHOR_BOTTOM);
    zwlr_layer_surface_v1_set_keyboard_interactivity(
        layer_, ZWLR_LAYER_SURFACE_V1_KEYBOARD_INTERACTIVITY_NONE);
    mappedWidth_ = width;
    mappedHeight_ = height;
    configured_ = false;
    // The first commit carries no buffer: the compositor answers with a configure.
    wl_surface_commit(surface_);
}

void WaylandLayerPanel::unmap() {
    if (layer_)
        zwlr_layer_surface_v1_destroy(layer_);
    if (surface_)
        wl_surface_destroy(surface_);
    layer_ = nullptr;
    surface_ = nullptr;
    configured_ = false;
}

void WaylandLayerPanel::configured(uint32_t serial) {
    zwlr_layer_surface_v1_ack_configure(layer_, serial);
    configured_ = true;
    // Whatever the configure changed applies with a commit: draw the frame again.
    drawPending_ = drawn_.width > 0;
    if (drawPending_)
        draw();
}

WaylandLayerPanel::Buffer* WaylandLayerPanel::freeBuffer(int width, int height) {
    for (auto& b : buffers_)
        if (!b->busy && b->width == width && b->height == height)
            return b.get();
    std::erase_if(buffers_, [&](const auto& b) {
        return !b->busy && (b->width != width || b->height != height);
    });
    if (buffers_.size() >= kMaxBuffers)
        return nullptr; // the next release draws
    auto b = std::make_unique<Buffer>();
    b->owner = this;
    b->width = width;
    b->height = height;
    b->size = size_t(width) * size_t(height) * 4;
    const int fd = ::memfd_create("murmelin-panel", MFD_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, off_t(b->size)) < 0 ||
        (b->data = ::mmap(nullptr, b->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)) ==
            MAP_FAILED) {
        std::fprintf(stderr, "murmelin: cannot make a %dx%d panel buffer: %s\n", width, height,
                     std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        return nullptr;
    }
    wl_shm_pool* pool = wl_shm_create_pool(connection_.shm(), fd, int32_t(b->size));
    b->buffer =
        wl_shm_pool_create_buffer(pool, 0, width, height, width * 4, WL_SHM_FORMAT_ARGB8888);
    wl_shm_pool_destroy(pool); // the buffer keeps the memory
    ::close(fd);
    static const wl_buffer_listener listener{[](void* data, wl_buffer*) {
        auto* released = static_cast<Buffer*>(data);
        released->busy = false;
        WaylandLayerPanel* self = released->owner;
        if (self->configured_ && self->drawPending_)
            self->draw();
    }};
    wl_buffer_add_listener(b->buffer, &listener, b.get());
    buffers_.push_back(std::move(b));
    return buffers_.back().get();
}

void WaylandLayerPanel::draw() {
    Buffer* b = freeBuffer(drawn_.width, drawn_.height);
    if (!b || !surface_)
        return;
    std::memcpy(b->data, drawn_.pixels.data(), b->size);
    wl_surface_attach(surface_, b->buffer, 0, 0);
    if (wl_proxy_get_version(reinterpret_cast<wl_proxy*>(surface_)) >=
        WL_SURFACE_DAMAGE_BUFFER_SINCE_VERSION)
        wl_surface_damage_buffer(surface_, 0, 0, drawn_.width, drawn_.height);
    else
        wl_surface_damage(surface_, 0, 0, drawn_.width, drawn_.height); // scale 1: the same
    wl_surface_commit(surface_);
    b->busy = true;
    drawPending_ = false;
}

} // namespace murmelin
