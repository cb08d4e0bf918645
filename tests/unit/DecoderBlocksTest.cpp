#include "DecoderBlocks.h"

#include <gtest/gtest.h>

#include <random>

namespace murmelin {
namespace {

// What the decoder hears of `audio` when it arrives in pieces of `piece` samples.
std::vector<std::vector<int16_t>> heard(const std::vector<int16_t>& audio, std::size_t piece) {
    DecoderBlocks blocks;
    std::vector<std::vector<int16_t>> out;
    for (std::size_t at = 0; at < audio.size(); at += piece) {
        const auto part = std::span(audio).subspan(at, std::min(piece, audio.size() - at));
        EXPECT_TRUE(blocks.add(part, [&](std::span<const int16_t> b) {
            out.emplace_back(b.begin(), b.end());
            return true;
        }));
    }
    const auto rest = blocks.rest();
    if (!rest.empty()) {
        out.emplace_back(rest.begin(), rest.end());
    }
    return out;
}

TEST(DecoderBlocks, SameBlocksHoweverTheAudioArrivesWithoutTheSilenceAroundIt) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> sample(-3000, 3000);
    std::vector<int16_t> speech(5000);
    for (auto& s : speech) {
        s = static_cast<int16_t>(sample(random) | 1); // never exactly zero
    }
    std::fill(speech.begin() + 2000, speech.begin() + 2600, 0); // silence between words stays
    std::vector<int16_t> captured(700, 0);                      // digital silence around it
    captured.insert(captured.end(), speech.begin(), speech.end());
    captured.insert(captured.end(), 3000, 0);

    for (const std::size_t piece : {1, 100, 341, 1024, 1500, 9000}) {
        const auto blocks = heard(captured, piece);
        ASSERT_EQ(blocks.size(), 5u) << piece; // 4 whole blocks and the rest
        std::vector<int16_t> joined;
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            if (i + 1 < blocks.size()) {
                EXPECT_EQ(blocks[i].size(), DecoderBlocks::kBlock) << piece;
            }
            joined.insert(joined.end(), blocks[i].begin(), blocks[i].end());
        }
        EXPECT_EQ(joined, speech) << piece;
    }
    EXPECT_TRUE(heard(std::vector<int16_t>(5000, 0), 341).empty()); // nothing but silence
}

TEST(DecoderBlocks, StopsWhenTheDecoderFails) {
    DecoderBlocks blocks;
    int calls = 0;
    const std::vector<int16_t> audio(3 * DecoderBlocks::kBlock, 5);
    EXPECT_FALSE(blocks.add(audio, [&](std::span<const int16_t>) { return ++calls < 2; }));
    EXPECT_EQ(calls, 2);
}

} // namespace
} // namespace murmelin
