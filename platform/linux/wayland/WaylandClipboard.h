#pragma once

#include "ports/Desktop.h"

#include <memory>
#include <string>
#include <vector>

struct zwlr_data_control_device_v1;
struct zwlr_data_control_offer_v1;
struct zwlr_data_control_source_v1;
struct zwlr_data_control_source_v1_listener;
struct zwlr_data_control_device_v1_listener;

namespace murmelin {

class WaylandConnection;

// The clipboard and primary selection through the data-control protocol, which needs no
// keyboard focus (Qt's own Wayland clipboard does, and a tray program never has it). The text
// is offered until another client replaces it or this object goes.
class WaylandClipboard final : public Clipboard {
public:
    // Sets up when the compositor offers data control; else every call is a no-op.
    explicit WaylandClipboard(WaylandConnection& connection);
    ~WaylandClipboard() override;

    void setString(const std::string& text) override;
    // Needs version 2 of the protocol; said once on stderr when the compositor has only 1.
    void setPrimarySelection(const std::string& text) override;

private:
    struct Source {
        WaylandClipboard* owner = nullptr;
        zwlr_data_control_source_v1* proxy = nullptr;
        std::shared_ptr<const std::string> text;
    };
    void start();
    void offer(std::shared_ptr<const std::string> text, bool primary);
    void cancelled(Source* source);
    void selectionChanged(zwlr_data_control_offer_v1* offer, bool primary);
    static const ::zwlr_data_control_source_v1_listener sourceListener;
    static const ::zwlr_data_control_device_v1_listener deviceListener;

    WaylandConnection& connection_;
    bool warnedNoPrimary_ = false; // main thread
    // Wayland thread only from here on.
    zwlr_data_control_device_v1* device_ = nullptr;
    std::vector<std::unique_ptr<Source>> sources_; // offered, not yet cancelled
    zwlr_data_control_offer_v1* selectionOffer_ = nullptr;
    zwlr_data_control_offer_v1* primaryOffer_ = nullptr;
};

} // namespace murmelin
