#include "TextCleanerUnicode.h"
#include "TextCleaner.h"

#include <gtest/gtest.h>
#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/utext.h>

#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

using namespace murmelin;
using namespace std::string_literals;

namespace {

struct TokenCase {
    std::string text, leading, word, trailing;
};

void PrintTo(const TokenCase& c, std::ostream* out) {
    *out << c.text;
}

class UnicodeTokens : public ::testing::TestWithParam<TokenCase> {};

TEST_P(UnicodeTokens, StripWholeCharactersButKeepOnlyTheTestedScalar) {
    const TokenCase& c = GetParam();
    const auto tokens = TextCleaner::tokenize(c.text);
    ASSERT_EQ(tokens.size(), 1u);
    EXPECT_EQ(tokens[0].leading, c.leading);
    EXPECT_EQ(tokens[0].word, c.word);
    EXPECT_EQ(tokens[0].trailing, c.trailing);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnicodeTokens,
    ::testing::Values(
        // A combining mark on a stripped quotation mark goes with it.
        TokenCase{"\"\u0301hello", "\"", "hello", ""},
        TokenCase{"cafe\u0301,", "", "cafe\u0301", ","},
        // Letter + skin tone is one character whose last scalar (Sk) is a symbol.
        TokenCase{"xa\U0001F3FD", "", "x", "\U0001F3FD"},
        TokenCase{"\U0001F44D\U0001F3FD", "\U0001F44D", "", ""},
        TokenCase{"hi\U0001F600", "", "hi", "\U0001F600"},
        // A ZWJ family is one character: only its last scalar is kept.
        TokenCase{"hi\U0001F468\u200D\U0001F469\u200D\U0001F467", "", "hi", "\U0001F467"},
        TokenCase{"go\U0001F468\u200D\U0001F469now", "", "go\U0001F468\u200D\U0001F469now", ""},
        TokenCase{"\U00010100x\U00010100", "\U00010100", "x", "\U00010100"},
        TokenCase{"\u00BFQu\u00E9?", "\u00BF", "Qu\u00E9", "?"},
        TokenCase{"\u65E5\u672C\u3002", "", "\u65E5\u672C", "\u3002"},
        TokenCase{"a\u200Bb", "", "a\u200Bb", ""}));

// The stepping shortcuts (ASCII pairs, scalars that break before anything but marks) must give
// exactly ICU's extended grapheme clusters.
TEST(Characters, StepLikeIcusIterator) {
    const std::vector<std::string> texts{
        "a\r\nb\r\r\n\n",
        "e\u0301\u0302x \u0301",
        "\u0915\u094D\u0937\u093F",       // Devanagari conjunct with a vowel sign
        "\u1100\u1161\u11A8\uAC00\u11A8", // Hangul jamo and syllables
        "\U0001F1FA\U0001F1F8\U0001F1EC\U0001F1E7\U0001F1EA",
        "\U0001F468\u200D\U0001F469\u200D\U0001F467x\u200D\U0001F600",
        "a\U0001F3FD\U0001F44D\U0001F3FD\u00E9\u6771\u0085a",
        "\u0600x\u0600 \u0600\t\u0E01\u0E33",
        "\u0D4E\u0D15\u0CB0\u0CCD\u0CA1\u200C\u0903",
    };
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> iterator(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    for (const auto& text : texts) {
        UText* utext =
            utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
        iterator->setText(utext, status);
        ASSERT_TRUE(U_SUCCESS(status));
        std::vector<std::size_t> expected, actual;
        for (auto at = iterator->next(); at != icu::BreakIterator::DONE; at = iterator->next()) {
            expected.push_back(static_cast<std::size_t>(at));
        }
        TextCleaner::detail::Characters characters(text);
        for (std::size_t at = 0; at < text.size();) {
            at = characters.next(at);
            actual.push_back(at);
        }
        EXPECT_EQ(actual, expected) << text;
        utext_close(utext);
    }
}

TEST(UnicodeSeparators, CrLfAndUnicodeSpacesSplitWords) {
    const std::vector<std::string> separators{"\r\n",   "\u00A0", "\u2028", "\u2029",  "\u0085",
                                              "\u3000", "\v",     "\f",     "\r\n\r\n"};
    for (const auto& separator : separators) {
        const auto tokens = TextCleaner::tokenize("a" + separator + "b");
        ASSERT_EQ(tokens.size(), 2u) << "separator bytes: " << separator.size();
        EXPECT_EQ(tokens[1].word, "b");
    }
    EXPECT_EQ(TextCleaner::clean("hello\u00A0new\u2028line\u3000world\r\n"), "hello\nworld");
    // A space with a combining mark is still one separator character.
    EXPECT_EQ(TextCleaner::clean("a \u0301b"), "a b");
}

TEST(UnicodeCase, MappingsAreTheFullDefaultOnes) {
    EXPECT_EQ(TextCleaner::clean("all caps stra\u00DFe"), "STRASSE");
    EXPECT_EQ(TextCleaner::clean("snake case Stra\u00DFe GR\u00DC\u00DFE."),
              "stra\u00DFe_gr\u00FC\u00DFe.");
    EXPECT_EQ(TextCleaner::clean("camel case hello \u00DFig"), "helloSSig");
    EXPECT_EQ(TextCleaner::clean("snake case Cafe\u0301 Au\u0308to"), "cafe\u0301_au\u0308to");
    EXPECT_EQ(TextCleaner::clean("snake case \u00BD cup \u2163"), "\u00BD_cup_\u2173");
    EXPECT_EQ(TextCleaner::tokenize("\u00C9T\u00C9")[0].core, "\u00E9t\u00E9");
    EXPECT_EQ(TextCleaner::tokenize("\u0130")[0].core, "i\u0307");
}

TEST(UnicodeCase, TheUsersLocaleDoesNotChangeTheMapping) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Locale previous = icu::Locale::getDefault();
    icu::Locale::setDefault(icu::Locale("tr"), status);
    ASSERT_TRUE(U_SUCCESS(status));
    EXPECT_EQ(TextCleaner::clean("all caps istanbul i\u015F"), "ISTANBUL I\u015E");
    EXPECT_EQ(TextCleaner::clean("snake case ISTANBUL I\u015E"), "istanbul_i\u015F");
    EXPECT_EQ(TextCleaner::tokenize("NEW")[0].core, "new");
    EXPECT_EQ(TextCleaner::clean("LINE NEW LINE LIST"), "LINE\nLIST");
    icu::Locale::setDefault(previous, status);
}

TEST(MalformedInput, BecomesReplacementCharacters) {
    EXPECT_EQ(TextCleaner::clean("a\xFF"s
                                 "b"),
              "a\uFFFDb");
    // U+FFFD is a symbol (So), so a lone one attaches to the word before it.
    EXPECT_EQ(TextCleaner::clean("abc \xE2\x82"s), "abc\uFFFD");
    EXPECT_EQ(TextCleaner::clean("\xED\xA0\x80"s), "\uFFFD\uFFFD\uFFFD");     // a surrogate
    EXPECT_EQ(TextCleaner::clean("\xC0\xAF new line x"s), "\uFFFD\uFFFD\nx"); // overlong '/'
    EXPECT_EQ(TextCleaner::clean("a\0b"s), "a\0b"s);
    const auto tokens = TextCleaner::tokenize("x\xF4\x90\x80\x80y)"s); // above U+10FFFF
    ASSERT_EQ(tokens.size(), 1u);
    EXPECT_EQ(tokens[0].word, "x\uFFFD\uFFFD\uFFFD\uFFFDy");
    EXPECT_EQ(tokens[0].trailing, ")");
}

TEST(Trim, NoSpaceSurvivesAtEitherEndEvenInsideACharacter) {
    // U+0600 (a prepended concatenation mark) joins the following space into one character.
    EXPECT_EQ(TextCleaner::clean("x\u0600 "), "x\u0600");
    EXPECT_EQ(TextCleaner::clean("x\u0600\u00A0"), "x\u0600");
    EXPECT_EQ(TextCleaner::clean("\tx\u0600\u3000 y"), "x\u0600\u3000 y");
}

TEST(Concurrency, CallsFromSeveralThreadsAgree) {
    const std::vector<std::string> inputs{
        "He said open quote, hello, close quote and left.",
        "camel case gr\u00FC\u00DFe welt, new paragraph \u00A0caf\u00E9\u0301 \U0001F44D\U0001F3FD",
        "all caps stra\u00DFe \u65E5\u672C\u3002 bullet point x\u2028y \xFF",
    };
    std::vector<std::string> expected;
    for (const auto& input : inputs) {
        expected.push_back(TextCleaner::clean(input));
    }
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                const auto k = static_cast<std::size_t>(i + t) % inputs.size();
                mismatches[t] += TextCleaner::clean(inputs[k]) != expected[k];
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

} // namespace
