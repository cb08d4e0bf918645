#include "WaylandTrust.h"

#include "WaylandConnection.h"

namespace murmelin {

WaylandTrust::WaylandTrust(WaylandConnection& connection, MainQueue& main)
    : connection_(connection), onChange_(std::make_shared<std::function<void(bool)>>()) {
    if (!connection_.offers().canPaste())
        return;
    connection_.setOnLost([&main, weak = std::weak_ptr<std::function<void(bool)>>(onChange_)] {
        main.async([weak] {
            if (auto onChange = weak.lock(); onChange && *onChange)
                (*onChange)(false);
        });
    });
}

WaylandTrust::~WaylandTrust() {
    connection_.setOnLost(nullptr);
}

bool WaylandTrust::isTrusted() {
    return connection_.offers().canPaste() && !connection_.lost();
}

void WaylandTrust::requestTrust(std::function<void(bool trusted)> answered) {
    answered(isTrusted());
}

void WaylandTrust::setOnChange(std::function<void(bool trusted)> onChange) {
    *onChange_ = std::move(onChange);
}

} // namespace murmelin
