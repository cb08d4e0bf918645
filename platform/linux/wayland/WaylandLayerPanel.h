#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

struct wl_buffer;
struct wl_surface;
struct zwlr_layer_surface_v1;

namespace murmelin {

class WaylandConnection;

// A picture floating at the bottom centre of the output the compositor picks (the focused
// one): a layer-shell surface on the overlay layer that never takes keyboard focus and lets
// every click through (its input region is empty). Main-thread calls; the drawing happens on
// the Wayland thread from a copy of the pixels.
class WaylandLayerPanel {
public:
    // The connection must offer canShowPanels() and outlive the panel.
    explicit WaylandLayerPanel(WaylandConnection& connection);
    ~WaylandLayerPanel();
    WaylandLayerPanel(const WaylandLayerPanel&) = delete;
    WaylandLayerPanel& operator=(const WaylandLayerPanel&) = delete;

    // Distance from the output's lower edge (less what bars reserve); applies from the next
    // show() on, and at once to a panel shown.
    void setBottomMargin(int pixels);
    // Shows (maps at the first call after hide()) this picture: premultiplied ARGB32 pixels in
    // native byte order (QImage::Format_ARGB32_Premultiplied), `stride` bytes a row.
    void show(const uint32_t* argb32premultiplied, int width, int height, int stride);
    // Unmaps the panel; the next show() maps it again.
    void hide();

private:
    struct Buffer;
    struct Frame {
        std::vector<uint32_t> pixels; // tightly packed rows
        int width = 0, height = 0;
    };
    // Wayland thread.
    void present();
    void map(int width, int height);
    void unmap();
    void configured(uint32_t serial);
    void draw();
    Buffer* freeBuffer(int width, int height);

    WaylandConnection& connection_;
    std::mutex mutex_;
    Frame latest_;                // guarded by mutex_: the frame the next present() draws
    bool presentPending_ = false; // guarded by mutex_
    int bottomMargin_ = 0;        // guarded by mutex_

    // Wayland thread only.
    wl_surface* surface_ = nullptr;
    zwlr_layer_surface_v1* layer_ = nullptr;
    bool configured_ = false; // the first configure was acknowledged: buffers may go up
    int mappedWidth_ = 0, mappedHeight_ = 0;
    int appliedMargin_ = -1;
    Frame drawn_; // the frame to draw once configured or once a buffer is released
    bool drawPending_ = false;
    std::vector<std::unique_ptr<Buffer>> buffers_;
};

} // namespace murmelin
