#include "WaylandClipboard.h"

#include "ClipboardText.h"
#include "WaylandConnection.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <cstdio>

namespace murmelin {

const zwlr_data_control_source_v1_listener WaylandClipboard::sourceListener{
    [](void* data, zwlr_data_control_source_v1*, const char*, int32_t fd) {
        // Every type we offer is the same UTF-8 text.
        writeAndClose(fd, static_cast<Source*>(data)->text);
    },
    [](void* data, zwlr_data_control_source_v1*) {
        auto* source = static_cast<Source*>(data);
        source->owner->cancelled(source);
    },
};

const zwlr_data_control_device_v1_listener WaylandClipboard::deviceListener{
    // data_offer: the offer is kept by the selection event that follows it.
    [](void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1*) {},
    [](void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
        static_cast<WaylandClipboard*>(data)->selectionChanged(offer, false);
    },
    // finished: the seat went; this device is of no more use.
    [](void* data, zwlr_data_control_device_v1* device) {
        auto* self = static_cast<WaylandClipboard*>(data);
        zwlr_data_control_device_v1_destroy(device);
        self->device_ = nullptr;
    },
    [](void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
        static_cast<WaylandClipboard*>(data)->selectionChanged(offer, true);
    },
};

WaylandClipboard::WaylandClipboard(WaylandConnection& connection) : connection_(connection) {
    if (connection_.offers().canCopy())
        connection_.post([this] { start(); });
}

WaylandClipboard::~WaylandClipboard() {
    connection_.postAndWait([this] {
        // Our sources go, and with them the selection they hold.
        for (auto& source : sources_)
            zwlr_data_control_source_v1_destroy(source->proxy);
        sources_.clear();
        for (auto* offer : {selectionOffer_, primaryOffer_})
            if (offer)
                zwlr_data_control_offer_v1_destroy(offer);
        selectionOffer_ = primaryOffer_ = nullptr;
        if (device_)
            zwlr_data_control_device_v1_destroy(device_);
        device_ = nullptr;
        wl_display_flush(connection_.display());
    });
}

void WaylandClipboard::start() {
    device_ =
        zwlr_data_control_manager_v1_get_data_device(connection_.dataControl(), connection_.seat());
    zwlr_data_control_device_v1_add_listener(device_, &deviceListener, this);
}

void WaylandClipboard::setString(const std::string& text) {
    if (connection_.offers().canCopy())
        connection_.post(
            [this, shared = std::make_shared<const std::string>(text)] { offer(shared, false); });
}

void WaylandClipboard::setPrimarySelection(const std::string& text) {
    if (connection_.offers().dataControl >= 2) {
        connection_.post(
            [this, shared = std::make_shared<const std::string>(text)] { offer(shared, true); });
    } else if (connection_.offers().canCopy() && !warnedNoPrimary_) {
        warnedNoPrimary_ = true;
        std::fprintf(stderr, "murmelin: this Wayland compositor's data-control protocol has no "
                             "primary selection (version 1); Shift+Insert pastes what was there "
                             "before\n");
    }
}

void WaylandClipboard::offer(std::shared_ptr<const std::string> text, bool primary) {
    if (!device_)
        return;
    auto source = std::make_unique<Source>();
    source->owner = this;
    source->text = std::move(text);
    source->proxy = zwlr_data_control_manager_v1_create_data_source(connection_.dataControl());
    zwlr_data_control_source_v1_add_listener(source->proxy, &sourceListener, source.get());
    for (const char* type : clipboardTextTypes())
        zwlr_data_control_source_v1_offer(source->proxy, type);
    if (primary)
        zwlr_data_control_device_v1_set_primary_selection(device_, source->proxy);
    else
        zwlr_data_control_device_v1_set_selection(device_, source->proxy);
    // The one it replaces is cancelled by the compositor, which destroys it then.
    sources_.push_back(std::move(source));
}

void WaylandClipboard::cancelled(Source* source) {
    zwlr_data_control_source_v1_destroy(source->proxy);
    std::erase_if(sources_, [source](const auto& s) { return s.get() == source; });
}

void WaylandClipboard::selectionChanged(zwlr_data_control_offer_v1* offer, bool primary) {
    // We never read the others' offers; each is destroyed when the next one replaces it.
    zwlr_data_control_offer_v1*& slot = primary ? primaryOffer_ : selectionOffer_;
    if (slot && slot != offer)
        zwlr_data_control_offer_v1_destroy(slot);
    slot = offer;
}

} // namespace murmelin
