#include "HypothesisFormat.h"

#include <gtest/gtest.h>

#include <utility>

namespace murmelin {
namespace {

TEST(FormatHypothesis, JoinsWordsDropsMarkersAndCapitalisesTheFirstLetterAndThePronoun) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},
        {"<sil>", ""},
        {"  hello   new  line\tworld ", "Hello new line world"},
        {"<s> hello <sil> world </s>", "Hello world"},
        {"[noise] read(2) it +breath+", "Read it"},
        {"(2) x(y)z", "(2) x(y)z"}, // not variant markers
        {"i'm here, i think", "I'm here, I think"},
        {"so i'll go and i've seen what i'd do", "So I'll go and I've seen what I'd do"},
        {"an idea in italy", "An idea in italy"}, // "i" inside or starting other words stays
        {"ii i'ma it's", "Ii i'ma it's"},         // not the pronoun, not its contractions
        {"<s> [noise] i(2) was </s>", "I was"},   // capitals come after the markers are gone
        {"'til then", "'Til then"},               // leading apostrophe passed over
        {"3d printing", "3d printing"},           // no letter first: unchanged
        {"\u00FCber alles", "\u00DCber alles"},
        {"\u00DFig", "SSig"}, // full case mapping
        {"bullet_point milk new_line(2) eggs", "Bullet point milk new line eggs"}, // joined phrases
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(formatHypothesis(in), out) << in;
    }
}

TEST(FormatHypothesis, LeavesInvalidUtf8Alone) {
    const std::string broken = "\xff"
                               "abc";
    EXPECT_EQ(formatHypothesis(broken), broken);
}

} // namespace
} // namespace murmelin
