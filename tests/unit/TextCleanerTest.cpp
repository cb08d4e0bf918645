#include "TextCleaner.h"
#include "TextCleanerUnicode.h"

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

struct CleanCase {
    std::string transcript, result;
};

void PrintTo(const CleanCase& c, std::ostream* out) {
    *out << c.transcript;
}

class CleanTable : public ::testing::TestWithParam<CleanCase> {};

TEST_P(CleanTable, GivesTheDeliveredText) {
    EXPECT_EQ(TextCleaner::clean(GetParam().transcript), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CleanTable,
    ::testing::Values(
        CleanCase{"", ""}, CleanCase{" \t\r\n\v\f  \n", ""},
        CleanCase{"  hello\tworld\n  ", "hello world"},
        CleanCase{"hello   world\tagain", "hello world again"},
        CleanCase{"hello new line world", "hello\nworld"}, CleanCase{"hello new line", "hello\n"},
        CleanCase{"new line hello", "hello"}, CleanCase{"say new line now", "say\nnow"},
        CleanCase{"Hello. New line. How are you?", "Hello.\nHow are you?"},
        CleanCase{"a New Line. b", "a\nb"}, CleanCase{"a (new line b", "a\nb"},
        CleanCase{"hello new paragraph world", "hello\n\nworld"},
        CleanCase{"a new line new paragraph b", "a\n\n\nb"},
        CleanCase{"bullet point milk bullet point eggs", "\u2022 milk\n\u2022 eggs"},
        CleanCase{"Shopping list, new line, bullet point milk", "Shopping list,\n\u2022 milk"},
        CleanCase{"bullet point bullet point", "\u2022\n\u2022"},
        CleanCase{"He said open quote, hello, close quote and left.",
                  "He said \"hello,\" and left."},
        CleanCase{"hello open quote world close quote!", "hello \"world\"!"},
        CleanCase{"she wrote open quotes yes end quote.", "she wrote \"yes\"."},
        CleanCase{"x open quotes, y close quote", "x \"y\""}, CleanCase{"a end quote. b", "a\". b"},
        CleanCase{"open quote hello", "\"hello"},
        // Near misses are words: no plural, no joining, no stray punctuation between the two.
        CleanCase{"he said end quotes", "he said end quotes"},
        CleanCase{"a bullet points b", "a bullet points b"},
        CleanCase{"a new lines b", "a new lines b"}, CleanCase{"all cap x", "all cap x"},
        CleanCase{"newline x", "newline x"}, CleanCase{"new", "new"},
        CleanCase{"a new,, line b", "a new,, line b"}, CleanCase{"new, line world", "world"},
        CleanCase{"hello new. line world", "hello new. line world"},
        CleanCase{"camel case hello world", "helloWorld"},
        CleanCase{"camel case get user ID now", "getUserIdNow"},
        CleanCase{"camel case don't stop", "dontStop"},
        CleanCase{"snake case Hello World.", "hello_world."},
        CleanCase{"snake case e-mail address.", "email_address."},
        CleanCase{"snake case 3 apples", "3_apples"}, CleanCase{"ALL CAPS yes", "YES"},
        CleanCase{"all caps hello world, then more", "HELLO WORLD, then more"},
        CleanCase{"all caps hello new line world", "HELLO\nworld"},
        CleanCase{"snake case new line", "new_line"},
        CleanCase{"all caps bullet point x", "BULLET POINT X"},
        CleanCase{"hello all caps", "hello"}, CleanCase{"camel case (user) name", "user) name"},
        CleanCase{"hello - world", "hello- world"}, CleanCase{"... hello", "...hello"},
        CleanCase{"hi all caps ?! there", "hi THERE"},
        // Quotes are never paired, and case commands do not last.
        CleanCase{"close quote close quote", "\"\""}, CleanCase{"open quote open quote x", "\"\"x"},
        CleanCase{"all caps a. b", "A. b"}, CleanCase{"all caps ...", ""},
        CleanCase{"x new paragraph", "x\n\n"},
        // Punctuation is stripped by whole characters, of which only the last scalar is kept.
        CleanCase{"all caps \"\u0301hello", "HELLO"},
        CleanCase{"all caps cafe\u0301,", "CAFE\u0301,"},
        CleanCase{"all caps xa\U0001F3FD", "X\U0001F3FD"},
        CleanCase{"all caps hi\U0001F468\u200D\U0001F469\u200D\U0001F467", "HI\U0001F467"},
        CleanCase{"all caps \u00BFQu\u00E9?", "QU\u00C9?"},
        CleanCase{"all caps \u65E5\u672C\u3002", "\u65E5\u672C\u3002"},
        CleanCase{"new line\U0001F600 x", "x"},
        // Unicode separators, and full default case mappings.
        CleanCase{"hello\u00A0new\u2028line\u3000world\r\n", "hello\nworld"},
        CleanCase{"a\u2029b\u0085c\vd\fe\r\n\r\nf\r\ng", "a b c d e f g"},
        CleanCase{"a \u0301b", "a b"}, CleanCase{"all caps stra\u00DFe", "STRASSE"},
        CleanCase{"snake case Stra\u00DFe GR\u00DC\u00DFE.", "stra\u00DFe_gr\u00FC\u00DFe."},
        CleanCase{"camel case hello \u00DFig", "helloSSig"},
        CleanCase{"snake case Cafe\u0301 Au\u0308to", "cafe\u0301_au\u0308to"},
        CleanCase{"snake case \u00BD cup \u2163", "\u00BD_cup_\u2173"},
        CleanCase{"snake case \u00C9T\u00C9 x", "\u00E9t\u00E9_x"},
        CleanCase{"snake case \u0130x y", "i\u0307x_y"},
        // Malformed bytes become U+FFFD, a symbol that attaches to the word before it.
        CleanCase{"a\xFF"s
                  "b",
                  "a\uFFFDb"},
        CleanCase{"abc \xE2\x82"s, "abc\uFFFD"}, CleanCase{"\xED\xA0\x80"s, "\uFFFD\uFFFD\uFFFD"},
        CleanCase{"\xC0\xAF new line x"s, "\uFFFD\uFFFD\nx"}, CleanCase{"a\0b"s, "a\0b"s},
        CleanCase{"x\xF4\x90\x80\x80y)"s, "x\uFFFD\uFFFD\uFFFD\uFFFDy)"},
        // No space survives at either end, even inside a character (U+0600 joins the next one).
        CleanCase{"x\u0600 ", "x\u0600"}, CleanCase{"x\u0600\u00A0", "x\u0600"},
        CleanCase{"\tx\u0600\u3000 y", "x\u0600\u3000 y"}));

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
        for (auto at = iterator->next(); at != icu::BreakIterator::DONE; at = iterator->next())
            expected.push_back(static_cast<std::size_t>(at));
        TextCleaner::detail::Characters characters(text);
        for (std::size_t at = 0; at < text.size();)
            actual.push_back(at = characters.next(at));
        EXPECT_EQ(actual, expected) << text;
        utext_close(utext);
    }
}

TEST(CleanCase, TheUsersLocaleDoesNotChangeTheMapping) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Locale previous = icu::Locale::getDefault();
    icu::Locale::setDefault(icu::Locale("tr"), status);
    ASSERT_TRUE(U_SUCCESS(status));
    EXPECT_EQ(TextCleaner::clean("all caps istanbul i\u015F"), "ISTANBUL I\u015E");
    EXPECT_EQ(TextCleaner::clean("snake case ISTANBUL I\u015E"), "istanbul_i\u015F");
    EXPECT_EQ(TextCleaner::clean("LINE NEW LINE LIST"), "LINE\nLIST");
    icu::Locale::setDefault(previous, status);
}

TEST(CleanThreads, CallsFromSeveralThreadsAgree) {
    const std::vector<std::string> inputs{
        "He said open quote, hello, close quote and left.",
        "camel case gr\u00FC\u00DFe welt, new paragraph \u00A0caf\u00E9\u0301 \U0001F44D\U0001F3FD",
        "all caps stra\u00DFe \u65E5\u672C\u3002 bullet point x\u2028y \xFF",
    };
    std::vector<std::string> expected;
    for (const auto& input : inputs)
        expected.push_back(TextCleaner::clean(input));
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                const auto k = static_cast<std::size_t>(i + t) % inputs.size();
                mismatches[t] += TextCleaner::clean(inputs[k]) != expected[k];
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

} // namespace
