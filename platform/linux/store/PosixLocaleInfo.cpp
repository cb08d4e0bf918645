#include "PosixLocaleInfo.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdlib>

namespace murmelin {

namespace {

constexpr const char* kDefaultIdentifier = "en_US";

// Accepts both "en-US" (a language tag) and "en_US" (ICU's and POSIX's form).
icu::Locale icuLocale(const std::string& identifier) {
    std::string tag = identifier;
    std::replace(tag.begin(), tag.end(), '_', '-');
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale locale = icu::Locale::forLanguageTag(tag, status);
    if (U_SUCCESS(status) && !locale.isBogus())
        return locale;
    return icu::Locale::createCanonical(identifier.c_str());
}

bool equalsIgnoringAsciiCase(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
        return lower(static_cast<unsigned char>(x)) == lower(static_cast<unsigned char>(y));
    });
}

} // namespace

PosixLocaleInfo::PosixLocaleInfo() : current_(identifierFromEnvironment()) {}

PosixLocaleInfo::PosixLocaleInfo(std::string currentIdentifier)
    : current_(std::move(currentIdentifier)) {}

std::string PosixLocaleInfo::identifierFromEnvironment() {
    // POSIX precedence for the language of messages, which is what names are shown in.
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return identifierFromPosix(value);
    }
    return kDefaultIdentifier;
}

std::string PosixLocaleInfo::identifierFromPosix(std::string_view value) {
    // language[_territory][.codeset][@modifier]
    std::string_view base = value.substr(0, value.find_first_of(".@"));
    if (base.empty() || base == "C" || base == "POSIX")
        return kDefaultIdentifier;
    return std::string(base);
}

std::optional<std::string> PosixLocaleInfo::displayName(const std::string& identifier) const {
    icu::Locale target = icuLocale(identifier);
    if (target.isBogus() || *target.getLanguage() == '\0')
        return std::nullopt;
    const icu::Locale display = icuLocale(current_);

    // ICU answers an unknown language with its code ("xx (YY)"); that is no name.
    icu::UnicodeString language;
    target.getDisplayLanguage(display, language);
    std::string languageName;
    language.toUTF8String(languageName);
    if (languageName.empty() || equalsIgnoringAsciiCase(languageName, target.getLanguage()))
        return std::nullopt;

    icu::UnicodeString name;
    target.getDisplayName(display, name);
    std::string out;
    name.toUTF8String(out);
    return out;
}

} // namespace murmelin
