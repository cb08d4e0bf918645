#include "platform/linux/speech/Resampler.h"
#include "platform/linux/speech/SphinxRequest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace murmelin {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<float> tone(double frequency, double rate, std::size_t count, double amplitude = 0.5) {
    std::vector<float> s(count);
    for (std::size_t i = 0; i < count; ++i) {
        s[i] = static_cast<float>(amplitude * std::sin(2 * kPi * frequency * i / rate));
    }
    return s;
}

// RMS over the middle half, away from the filter's start-up and tail.
double middleRms(const std::vector<float>& s) {
    double sum = 0;
    const std::size_t from = s.size() / 4, to = 3 * s.size() / 4;
    for (std::size_t i = from; i < to; ++i) {
        sum += double(s[i]) * s[i];
    }
    return std::sqrt(sum / double(to - from));
}

std::vector<float> resampleInChunks(double from, double to, const std::vector<float>& in,
                                    std::size_t chunk) {
    Resampler r(from, to);
    std::vector<float> out;
    for (std::size_t at = 0; at < in.size(); at += chunk) {
        r.process(in.data() + at, std::min(chunk, in.size() - at), out);
    }
    r.flush(out);
    return out;
}

struct Case {
    double from;
    double frequency;
    double expectedRms; // 0.5 / sqrt(2) when passed, ~0 when it lies above 8 kHz
};

class ResamplerToDecoderRate : public ::testing::TestWithParam<Case> {};

TEST_P(ResamplerToDecoderRate, KeepsSpeechBandAndRemovesWhatWouldAlias) {
    const Case c = GetParam();
    const auto in = tone(c.frequency, c.from, static_cast<std::size_t>(c.from)); // 1 s
    const auto out = resampleInChunks(c.from, 16000, in, 1024);
    EXPECT_NEAR(double(out.size()), 16000.0, 1.0);
    EXPECT_NEAR(middleRms(out), c.expectedRms, 0.01);
}

INSTANTIATE_TEST_SUITE_P(Rates, ResamplerToDecoderRate,
                         ::testing::Values(Case{48000, 1000, 0.3536}, Case{44100, 3000, 0.3536},
                                           Case{8000, 440, 0.3536}, Case{22050, 6000, 0.3536},
                                           // above 8 kHz: must not fold back into the speech band
                                           Case{48000, 12000, 0.0}, Case{44100, 9000, 0.0}));

TEST(Resampler, KeepsTheFrequencyOfATone) {
    const auto out = resampleInChunks(48000, 16000, tone(1000, 48000, 48000), 777);
    // Zero crossings over the middle half: 2 per period at 1 kHz.
    int crossings = 0;
    for (std::size_t i = 4000; i < 12000; ++i) {
        crossings += (out[i - 1] < 0) != (out[i] < 0);
    }
    EXPECT_NEAR(crossings, 1000, 2);
}

TEST(Resampler, ChunkingDoesNotChangeTheResult) {
    const auto in = tone(700, 44100, 20000);
    const auto whole = resampleInChunks(44100, 16000, in, in.size());
    const auto pieces = resampleInChunks(44100, 16000, in, 13);
    ASSERT_EQ(whole.size(), pieces.size());
    for (std::size_t i = 0; i < whole.size(); ++i) {
        ASSERT_NEAR(whole[i], pieces[i], 1e-5) << i;
    }
}

TEST(Resampler, SameRateIsACopy) {
    const auto in = tone(300, 16000, 500);
    EXPECT_EQ(resampleInChunks(16000, 16000, in, 64), in);
}

TEST(ConvertForDecoder, MixesChannelsClampsAndResamples) {
    std::unique_ptr<Resampler> resampler;
    const float left[] = {0.5f, 2.0f, -3.0f, NAN};
    const float right[] = {0.5f, 0.0f, 1.0f, 0.0f};
    const float* channels[] = {left, right};
    std::vector<int16_t> out;
    convertForDecoder(AudioBuffer{channels, 2, 4, 16000}, resampler, out);
    EXPECT_EQ(out, (std::vector<int16_t>{16384, 32767, -32768, 0}));
    EXPECT_EQ(resampler, nullptr);

    // 16-bit audio from the sound server (1/32768 per step) comes through unchanged.
    std::vector<float> steps;
    for (int v = -32768; v <= 32767; ++v)
        steps.push_back(static_cast<float>(v) / 32768.f);
    const float* stepChannel[] = {steps.data()};
    out.clear();
    convertForDecoder(AudioBuffer{stepChannel, 1, static_cast<uint32_t>(steps.size()), 16000},
                      resampler, out);
    ASSERT_EQ(out.size(), steps.size());
    for (std::size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i], static_cast<int>(i) - 32768);

    out.clear();
    const auto loud = tone(1000, 48000, 4800);
    const float* mono[] = {loud.data()};
    convertForDecoder(AudioBuffer{mono, 1, 4800, 48000}, resampler, out);
    ASSERT_NE(resampler, nullptr);
    EXPECT_GT(out.size(), 1500u); // 1600 less the filter's look-ahead
    EXPECT_LE(out.size(), 1600u);
    convertForDecoder(AudioBuffer{nullptr, 1, 4800, 48000}, resampler, out);
    EXPECT_LE(out.size(), 1600u); // no float data: nothing
}

} // namespace
} // namespace murmelin
