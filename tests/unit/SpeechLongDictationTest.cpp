#include "ModelCatalog.h"
#include "SphinxEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace murmelin {
namespace {
namespace fs = std::filesystem;

const fs::path kClips = "/usr/share/pocketsphinx/test/data/librivox/";

long residentKb() {
    std::ifstream in("/proc/self/status");
    std::stringstream s;
    s << in.rdbuf();
    std::smatch m;
    const std::string status = s.str();
    return std::regex_search(status, m, std::regex(R"(VmRSS:\s+(\d+))")) ? std::stol(m[1]) : -1;
}

// The recorded clips end to end (with their own pauses) until `seconds`, as the sound server
// delivers them: floats at 16 kHz.
std::vector<float> speech(double seconds) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(kClips))
        if (entry.path().extension() == ".wav")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::vector<float> out;
    for (std::size_t i = 0; !files.empty() && double(out.size()) < seconds * 16000; ++i) {
        std::ifstream in(files[i % files.size()], std::ios::binary);
        in.seekg(44); // the RIFF header of these 16-bit mono files
        int16_t sample = 0;
        while (in.read(reinterpret_cast<char*>(&sample), sizeof sample))
            out.push_back(float(sample) / 32768.f);
    }
    out.resize(std::size_t(seconds * 16000));
    return out;
}

// One dictation fed as fast as the decoder takes it, a buffer or two ahead as at the end of a
// live one (a queue of the whole dictation would be memory of its own); waits for the final.
std::string dictate(SphinxEngine& engine, const std::vector<float>& samples) {
    auto request = std::make_shared<SphinxRequest>();
    std::promise<std::string> final;
    auto utterance = std::make_shared<Utterance>(
        request, [&](std::optional<RecognitionResult> result, std::optional<RecognitionError> e) {
            if (!result)
                final.set_value("error: " + (e ? e->description : std::string()));
            else if (result->isFinal)
                final.set_value(result->formattedString);
        });
    engine.start(utterance);
    for (std::size_t at = 0; at < samples.size(); at += 1024) {
        while (request->pending() > 2048)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const float* channel = samples.data() + at;
        request->append({&channel, 1, uint32_t(std::min<std::size_t>(1024, samples.size() - at))});
    }
    request->endAudio();
    return final.get_future().get();
}

// The search's tables grow with the length of the decoder's utterance and pocketsphinx keeps
// them at their largest, so a long dictation must not leave the program much bigger than one
// as long as the longest piece did (measured: 90 s as one utterance leaves 17 MB more than 30 s
// did; in pieces, 2.7-4 MB).
TEST(SpeechLongDictation, LeavesTheResidentSizeNearWhereAShortOneDid) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own memory hides the decoder's";
#endif
    const auto model = readModelDirectory(systemModelDirectory(), "en-US");
    if (!model || !fs::exists(kClips))
        GTEST_SKIP() << "needs pocketsphinx-en-us and pocketsphinx-testdata";
    const std::vector<float> shortOne = speech(30), longOne = speech(90);
    SphinxEngine engine(*model, {});
    ASSERT_EQ(engine.waitUntilLoaded(), "");
    const std::string first = dictate(engine, shortOne);
    ASSERT_FALSE(first.empty());
    ASSERT_NE(first.rfind("error", 0), 0u) << first;
    const long afterShort = residentKb();
    const std::string text = dictate(engine, longOne);
    ASSERT_NE(text.rfind("error", 0), 0u) << text;
    EXPECT_GT(text.size(), 2 * first.size()); // the whole dictation was decoded
    const long grown = residentKb() - afterShort;
    EXPECT_LT(grown, 8 * 1024) << "resident size grew by " << grown << " kB";
}

} // namespace
} // namespace murmelin
