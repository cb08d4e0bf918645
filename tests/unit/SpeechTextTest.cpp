#include "platform/linux/speech/HypothesisFormat.h"
#include "platform/linux/speech/WordErrorRate.h"

#include <gtest/gtest.h>

namespace murmelin {
namespace {

TEST(FormatHypothesis, JoinsWordsAndDropsDecoderMarkers) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},
        {"hello world", "Hello world"},
        {"  hello   new  line\tworld ", "Hello new line world"},
        {"<s> hello <sil> world </s>", "Hello world"},
        {"[noise] read(2) it +breath+", "Read it"},
        {"(2) x(y)z", "(2) x(y)z"}, // not variant markers
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(formatHypothesis(in), out) << in;
    }
}

TEST(WordErrorRate, CountsEachKindOfError) {
    struct Case {
        const char* reference;
        const char* hypothesis;
        std::size_t sub, del, ins;
    };
    const Case cases[] = {
        {"a b c", "a b c", 0, 0, 0},
        {"a b c", "a x c", 1, 0, 0},
        {"a b c", "a c", 0, 1, 0},
        {"a b c", "a b b c", 0, 0, 1},
        {"a b c", "", 0, 3, 0},
        {"", "a b", 0, 0, 2},
        {"he was not an ill disposed young man", "he was not until exposed young man", 2, 1, 0},
    };
    for (const auto& c : cases) {
        const WordErrors e = wordErrors(c.reference, c.hypothesis);
        EXPECT_EQ(e.substitutions, c.sub) << c.reference << " / " << c.hypothesis;
        EXPECT_EQ(e.deletions, c.del) << c.reference << " / " << c.hypothesis;
        EXPECT_EQ(e.insertions, c.ins) << c.reference << " / " << c.hypothesis;
    }
}

TEST(WordErrorRate, RateOverManyUtterances) {
    WordErrors total = wordErrors("a b c d", "a b c x");
    total += wordErrors("e f g h i j", "e f g h i j");
    EXPECT_DOUBLE_EQ(total.rate(), 0.1);
    EXPECT_DOUBLE_EQ(wordErrors("", "").rate(), 0.0);
    EXPECT_DOUBLE_EQ(wordErrors("", "x").rate(), 1.0);
}

} // namespace
} // namespace murmelin
