#pragma once

#include "MainQueue.h"
#include "ports/Desktop.h"

#include <functional>
#include <memory>

namespace murmelin {

class WaylandConnection;

// Trusted exactly when the compositor offers the virtual keyboard the paste needs: wlroots
// compositors grant it to every client, others offer no protocol to ask with. A lost
// compositor withdraws it.
class WaylandTrust final : public AccessibilityTrust {
public:
    // `main` runs the change handler; both must outlive this object.
    WaylandTrust(WaylandConnection& connection, MainQueue& main);
    ~WaylandTrust() override;

    bool isTrusted() override;
    void requestTrust(std::function<void(bool trusted)> answered) override;
    void setOnChange(std::function<void(bool trusted)> onChange) override;

private:
    WaylandConnection& connection_;
    // Shared with the loss handler, which outlives nothing: it only posts to the main queue.
    std::shared_ptr<std::function<void(bool)>> onChange_;
};

} // namespace murmelin
