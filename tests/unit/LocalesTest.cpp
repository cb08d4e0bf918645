#include "Controller.h"
#include "Fakes.h"
#include "PosixLocaleInfo.h"

#include <gtest/gtest.h>

using namespace murmelin;
using namespace murmelin::testing;

namespace {

using Strings = std::vector<std::string>;

TEST(ResolveLocale, ExactThenUnderscoreBlindThenEnUS) {
    struct Case {
        std::string localeID;
        Strings locales;
        std::string expected;
    };
    const Case cases[] = {
        {"en_US", {"de-DE", "en-US"}, "en-US"}, // second pass
        {"fr-fr", {"fr-FR"}, "en-US"},          // case matters
        {"de-CH", {"de-DE"}, "en-US"},          // no fallback by language
        {"de-CH", {}, "en-US"},
        {"en-US", {}, "en-US"},
        {"en_US", {"en-US", "en_US"}, "en_US"}, // an exact match beats an earlier near one
        {"pt-BR", {"pt_BR", "pt-BR-x"}, "pt_BR"},
        {"", {"en-GB"}, "en-US"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(resolveLocale(c.localeID, c.locales), c.expected) << c.localeID;
}

TEST(SortLocales, ByNormalizedNameInCodePointOrder) {
    FakeLocaleInfo info;
    info.names = {
        {"de", "deutsch"}, // lowercase after every capital, before every non-ASCII
        {"en", "English"},
        {"fr", "E\xCC\x81z"}, // decomposed É: NFC puts it after "F", not among the Es
        {"fi", "Finnish"},
        {"ja", "\xEF\xBD\x9E"},     // U+FF5E
        {"xx", "\xF0\x9F\x98\x80"}, // U+1F600: after U+FF5E, though not in UTF-16 order
    };
    Strings sorted = sortLocales({"xx", "ja", "de", "fr", "fi", "en", "Zz-unnamed"}, info);
    EXPECT_EQ(sorted, (Strings{"en", "fi", "Zz-unnamed", "de", "fr", "ja", "xx"}));
}

TEST(PosixLocaleInfo, IdentifierFromTheEnvironmentValue) {
    const std::pair<std::string, std::string> cases[] = {
        {"de_CH.UTF-8@euro", "de_CH"},
        {"fr_FR.UTF-8", "fr_FR"},
        {"sr_RS@latin", "sr_RS"},
        {"C", "en_US"},
        {"C.UTF-8", "en_US"},
        {"POSIX", "en_US"},
        {"", "en_US"},
        {"pt_BR", "pt_BR"},
    };
    for (const auto& [value, id] : cases)
        EXPECT_EQ(PosixLocaleInfo::identifierFromPosix(value), id) << value;
}

TEST(PosixLocaleInfo, EnvironmentPrecedence) {
    struct Case {
        const char *lcAll, *lcMessages, *lang, *expected;
    };
    const Case cases[] = {
        {"fr_FR.UTF-8", "de_DE.UTF-8", "it_IT", "fr_FR"},
        {"", "de_DE.UTF-8", "it_IT", "de_DE"},
        {nullptr, nullptr, "it_IT.UTF-8", "it_IT"},
        {nullptr, nullptr, nullptr, "en_US"},
    };
    for (const auto& c : cases) {
        for (auto [name, value] :
             {std::pair{"LC_ALL", c.lcAll}, {"LC_MESSAGES", c.lcMessages}, {"LANG", c.lang}}) {
            if (value)
                ::setenv(name, value, 1);
            else
                ::unsetenv(name);
        }
        EXPECT_EQ(PosixLocaleInfo::identifierFromEnvironment(), c.expected);
    }
}

TEST(PosixLocaleInfo, DisplayNamesInTheCurrentLanguageOrNothing) {
    struct Case {
        const char* current;
        const char* identifier;
        std::optional<std::string> name;
    };
    const Case cases[] = {
        {"en_US", "de-CH", "German (Switzerland)"},
        {"en_US", "de_CH", "German (Switzerland)"},
        {"de_DE", "fr-FR", "Franz\xC3\xB6sisch (Frankreich)"},
        {"fr-FR", "en-US", "anglais (\xC3\x89tats-Unis)"},
        {"en_US", "xx-YY", std::nullopt}, // ICU would echo "xx (YY)"
        {"en_US", "", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PosixLocaleInfo(c.current).displayName(c.identifier), c.name)
            << c.current << " " << c.identifier;
}

} // namespace
