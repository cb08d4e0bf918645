#include "LevelEstimateFile.h"
#include "SphinxEngine.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <vector>

namespace murmelin {
namespace {
namespace fs = std::filesystem;

const fs::path kEnglish = "/usr/share/pocketsphinx/model/en-us";

class SpeechLevelsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kEnglish / "en-us" / "mdef"))
            GTEST_SKIP() << "pocketsphinx-en-us missing";
        // A two-word language model keeps each decoder quick to make.
        std::ofstream(dir_ / "tiny.arpa") << "\\data\\\nngram 1=4\n\n\\1-grams:\n-99 <s> 0\n"
                                             "-0.5 </s>\n-0.5 go\n-0.5 forward\n\n\\end\\\n";
        std::ofstream(dir_ / "tiny.dict") << "go G OW\nforward F AO R W ER D\n";
        model_ = {"en-US", (kEnglish / "en-us").string(), (dir_ / "tiny.arpa").string(),
                  (dir_ / "tiny.dict").string(), dir_.string()};
    }

    // The estimate an engine saves after a dictation without audio, which leaves its estimate
    // as it started: the one it loaded from `file`, or the model's own.
    std::vector<float> startingEstimate(const std::string& file) {
        {
            SphinxEngine engine(model_, {}, file);
            EXPECT_EQ(engine.waitUntilLoaded(), "");
            auto request = std::make_shared<SphinxRequest>();
            std::promise<void> final;
            auto utterance = std::make_shared<Utterance>(
                request, [&](std::optional<RecognitionResult> result, auto) {
                    if (!result || result->isFinal)
                        final.set_value();
                });
            engine.start(utterance);
            request->endAudio();
            final.get_future().wait();
        } // joins the engine's thread, which saves after the final
        return readLevelEstimate(file).value_or(std::vector<float>{});
    }

    test::TempDir temp_{"levels"};
    fs::path dir_ = temp_.path();
    SpeechModel model_;
};

TEST_F(SpeechLevelsTest, ASavedEstimateIsUsedAndAnUnusableOneIgnored) {
    const std::string file = levelEstimatePath(dir_.string(), "en-US");
    const std::string stale = file + ".tmp-2147483646"; // left by a write that was cut off
    std::ofstream(stale) << "murmelin-levels 1\n";
    const std::vector<float> modelDefault = startingEstimate(file);
    ASSERT_EQ(modelDefault.size(), 13u); // written where there was none
    EXPECT_FALSE(fs::exists(stale));
    std::vector<float> saved = modelDefault;
    for (std::size_t i = 0; i < saved.size(); ++i)
        saved[i] += 0.5f + static_cast<float>(i) / 8;
    std::string why;
    ASSERT_TRUE(writeLevelEstimate(file, saved, why)) << why;
    ASSERT_EQ(readLevelEstimate(file), saved);

    struct Case {
        const char* name;
        std::optional<std::string> content; // nothing: the file is missing
        const std::vector<float>& expected;
    } cases[] = {
        {"saved", std::nullopt, saved},
        {"too few numbers", "murmelin-levels 1\n1 2 3\n", modelDefault},
        {"not a number", "murmelin-levels 1\n1 2 x 4 5 6 7 8 9 10 11 12 13\n", modelDefault},
        {"not finite", "murmelin-levels 1\nnan 2 3 4 5 6 7 8 9 10 11 12 13\n", modelDefault},
        {"other header", "levels\n1 2 3 4 5 6 7 8 9 10 11 12 13\n", modelDefault},
        {"binary", std::string("\0\1\2\xff", 4), modelDefault},
    };
    for (const auto& c : cases) {
        if (c.content) {
            fs::remove(file);
            std::ofstream(file, std::ios::binary) << *c.content;
        } else {
            ASSERT_TRUE(writeLevelEstimate(file, saved, why)) << why;
        }
        testing::internal::CaptureStderr();
        const auto used = startingEstimate(file);
        const std::string said = testing::internal::GetCapturedStderr();
        ASSERT_EQ(used.size(), c.expected.size()) << c.name;
        for (std::size_t i = 0; i < used.size(); ++i)
            EXPECT_NEAR(used[i], c.expected[i], 1e-3) << c.name << " " << i;
        // At most one line about it, and none about a missing or unparsable file.
        std::size_t lines = 0;
        for (std::size_t at = said.find(file); at != std::string::npos;
             at = said.find(file, at + 1))
            ++lines;
        EXPECT_LE(lines, 1u) << c.name << ": " << said;
    }
}

} // namespace
} // namespace murmelin
