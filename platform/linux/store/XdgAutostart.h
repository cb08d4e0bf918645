#pragma once

#include "ports/StatusItem.h"

#include <string>

namespace murmelin {

// "Start at Login" through the XDG autostart folder, which every desktop session reads:
// an entry $XDG_CONFIG_HOME/autostart/murmelin.desktop that runs `murmelin`. Main thread.
class XdgAutostart final : public LoginItem {
public:
    explicit XdgAutostart(std::string path = defaultPath());

    // The entry is there and not hidden (a desktop's own settings may hide it instead of
    // removing it).
    bool isEnabled() const override;
    // Writes the entry whole (a temporary file renamed over it) or removes it.
    std::string setEnabled(bool enabled) override;

    static std::string defaultPath();
    static const char* const kEntry;

private:
    std::string path_;
};

} // namespace murmelin
