#pragma once

#include <optional>
#include <string>

namespace murmelin {

// The user's current locale and display names in it. Main thread only.
class LocaleInfo {
public:
    virtual ~LocaleInfo() = default;
    // Identifier of the user's current locale, e.g. "de_CH".
    virtual std::string currentIdentifier() const = 0;
    // Name of the language (and region) of `identifier` in the user's language, or nothing.
    virtual std::optional<std::string> displayName(const std::string& identifier) const = 0;
};

} // namespace murmelin
