#include "TextCleaner.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

using namespace murmelin;
using TextCleaner::Command;

namespace {

struct TokenCase {
    std::string text, leading, word, trailing, core;
};

void PrintTo(const TokenCase& c, std::ostream* out) {
    *out << c.text;
}

class SingleWordTokens : public ::testing::TestWithParam<TokenCase> {};

TEST_P(SingleWordTokens, SplitPunctuationFromTheWord) {
    const TokenCase& c = GetParam();
    const auto tokens = TextCleaner::tokenize(c.text);
    ASSERT_EQ(tokens.size(), 1u);
    EXPECT_EQ(tokens[0].leading, c.leading);
    EXPECT_EQ(tokens[0].word, c.word);
    EXPECT_EQ(tokens[0].trailing, c.trailing);
    EXPECT_EQ(tokens[0].core, c.core);
}

INSTANTIATE_TEST_SUITE_P(Table, SingleWordTokens,
                         ::testing::Values(TokenCase{"Hello,", "", "Hello", ",", "hello"},
                                           TokenCase{"(quote)", "(", "quote", ")", "quote"},
                                           TokenCase{"'Yes!'", "'", "Yes", "!'", "yes"},
                                           TokenCase{"hello?!", "", "hello", "?!", "hello"},
                                           TokenCase{"don't", "", "don't", "", "don't"},
                                           TokenCase{"e-mail", "", "e-mail", "", "e-mail"},
                                           TokenCase{"U.S.", "", "U.S", ".", "u.s"},
                                           TokenCase{"$20", "$", "20", "", "20"},
                                           TokenCase{"100%", "", "100", "%", "100"},
                                           TokenCase{"A+", "", "A", "+", "a"},
                                           TokenCase{"...", "...", "", "", ""},
                                           TokenCase{"\u2014", "\u2014", "", "", ""},
                                           TokenCase{"New", "", "New", "", "new"}));

TEST(Tokenize, SeparatorsNeverMakeEmptyWords) {
    EXPECT_TRUE(TextCleaner::tokenize("").empty());
    EXPECT_TRUE(TextCleaner::tokenize(" \t\r\n\v\f  \n").empty());
    const auto tokens = TextCleaner::tokenize("  hello\tworld\n  ");
    ASSERT_EQ(tokens.size(), 2u);
    EXPECT_EQ(tokens[0].word, "hello");
    EXPECT_EQ(tokens[1].word, "world");
}

struct CommandCase {
    std::vector<std::string> words;
    std::optional<Command> expected;
};

void PrintTo(const CommandCase& c, std::ostream* out) {
    for (const auto& word : c.words) {
        *out << word << ' ';
    }
}

class CommandAtStart : public ::testing::TestWithParam<CommandCase> {};

TEST_P(CommandAtStart, MatchesOnlyTheFixedPhrases) {
    std::string text;
    for (const auto& word : GetParam().words) {
        text += word + " ";
    }
    EXPECT_EQ(TextCleaner::command(0, TextCleaner::tokenize(text)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, CommandAtStart,
                         ::testing::Values(CommandCase{{"new", "line"}, Command::newLine},
                                           CommandCase{{"New", "Line."}, Command::newLine},
                                           CommandCase{{"new,", "line"}, Command::newLine},
                                           CommandCase{{"(new", "line"}, Command::newLine},
                                           CommandCase{{"new.", "line"}, std::nullopt},
                                           CommandCase{{"new,,", "line"}, std::nullopt},
                                           CommandCase{{"new", "paragraph"}, Command::newParagraph},
                                           CommandCase{{"bullet", "point"}, Command::bulletPoint},
                                           CommandCase{{"open", "quote"}, Command::openQuote},
                                           CommandCase{{"open", "quotes,"}, Command::openQuote},
                                           CommandCase{{"close", "quote"}, Command::closeQuote},
                                           CommandCase{{"close", "quotes"}, Command::closeQuote},
                                           CommandCase{{"end", "quote."}, Command::closeQuote},
                                           CommandCase{{"end", "quotes"}, std::nullopt},
                                           CommandCase{{"camel", "case"}, Command::camelCase},
                                           CommandCase{{"snake", "case"}, Command::snakeCase},
                                           CommandCase{{"ALL", "CAPS"}, Command::allCaps},
                                           CommandCase{{"bullet", "points"}, std::nullopt},
                                           CommandCase{{"new", "lines"}, std::nullopt},
                                           CommandCase{{"all", "cap"}, std::nullopt},
                                           CommandCase{{"newline", "x"}, std::nullopt},
                                           CommandCase{{"new"}, std::nullopt},
                                           CommandCase{{}, std::nullopt}));

TEST(Command, LooksOnlyAtThePositionAndTheTokenAfterIt) {
    const auto tokens = TextCleaner::tokenize("say new line now");
    EXPECT_EQ(TextCleaner::command(0, tokens), std::nullopt);
    EXPECT_EQ(TextCleaner::command(1, tokens), Command::newLine);
    EXPECT_EQ(TextCleaner::command(2, tokens), std::nullopt);
    EXPECT_EQ(TextCleaner::command(3, tokens), std::nullopt);
    EXPECT_EQ(TextCleaner::command(99, tokens), std::nullopt);
    EXPECT_EQ(TextCleaner::command(-1, tokens), std::nullopt);
}

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
        CleanCase{"", ""}, CleanCase{"hello   world\tagain", "hello world again"},
        CleanCase{"hello new line world", "hello\nworld"}, CleanCase{"hello new line", "hello\n"},
        CleanCase{"new line hello", "hello"},
        CleanCase{"Hello. New line. How are you?", "Hello.\nHow are you?"},
        CleanCase{"hello new paragraph world", "hello\n\nworld"},
        CleanCase{"a new line new paragraph b", "a\n\n\nb"},
        CleanCase{"bullet point milk bullet point eggs", "\u2022 milk\n\u2022 eggs"},
        CleanCase{"Shopping list, new line, bullet point milk", "Shopping list,\n\u2022 milk"},
        CleanCase{"bullet point bullet point", "\u2022\n\u2022"},
        CleanCase{"He said open quote, hello, close quote and left.",
                  "He said \"hello,\" and left."},
        CleanCase{"hello open quote world close quote!", "hello \"world\"!"},
        CleanCase{"she wrote open quotes yes end quote.", "she wrote \"yes\"."},
        CleanCase{"open quote hello", "\"hello"},
        CleanCase{"he said end quotes", "he said end quotes"},
        CleanCase{"new, line world", "world"},
        CleanCase{"hello new. line world", "hello new. line world"},
        CleanCase{"camel case hello world", "helloWorld"},
        CleanCase{"camel case get user ID now", "getUserIdNow"},
        CleanCase{"camel case don't stop", "dontStop"},
        CleanCase{"snake case Hello World.", "hello_world."},
        CleanCase{"snake case e-mail address.", "email_address."},
        CleanCase{"snake case 3 apples", "3_apples"},
        CleanCase{"all caps hello world, then more", "HELLO WORLD, then more"},
        CleanCase{"all caps hello new line world", "HELLO\nworld"},
        CleanCase{"snake case new line", "new_line"},
        CleanCase{"all caps bullet point x", "BULLET POINT X"},
        CleanCase{"hello all caps", "hello"}, CleanCase{"camel case (user) name", "user) name"},
        CleanCase{"hello - world", "hello- world"}, CleanCase{"... hello", "...hello"},
        CleanCase{"hi all caps ?! there", "hi THERE"},
        // Beyond the basic table: quotes are never paired, and case commands do not last.
        CleanCase{"close quote close quote", "\"\""}, CleanCase{"open quote open quote x", "\"\"x"},
        CleanCase{"all caps a. b", "A. b"}, CleanCase{"all caps ...", ""},
        CleanCase{"x new paragraph", "x\n\n"}));

} // namespace
