#pragma once

#include "ports/Locales.h"

#include <string>
#include <string_view>

namespace murmelin {

// The user's locale from the POSIX environment, with display names from ICU in it.
class PosixLocaleInfo final : public LocaleInfo {
public:
    // Takes the current locale from LC_ALL, LC_MESSAGES or LANG, once.
    PosixLocaleInfo();
    // A fixed current locale, e.g. "de_CH" or "fr-FR".
    explicit PosixLocaleInfo(std::string currentIdentifier);

    // The first non-empty of LC_ALL, LC_MESSAGES and LANG, reduced by identifierFromPosix().
    static std::string identifierFromEnvironment();
    // "de_CH.UTF-8@euro" → "de_CH"; "C", "POSIX" and "" → "en_US".
    static std::string identifierFromPosix(std::string_view value);

    std::string currentIdentifier() const override { return current_; }
    // Nothing when ICU knows no name for the language and would only echo its code.
    std::optional<std::string> displayName(const std::string& identifier) const override;

private:
    std::string current_;
};

} // namespace murmelin
