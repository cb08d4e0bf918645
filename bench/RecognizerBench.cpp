// Feeds the recordings of Debian's pocketsphinx-testdata through the real recogniser as if a
// microphone were delivering them: 1024-frame (64 ms) buffers handed over at real-time pace
// from a capture thread, endAudio() right after the last one, exactly as the recorder does.
// Reports, per decoder setting: real-time factor (decoder busy time / audio time), end of
// audio -> final result, first buffer appended -> taken by the decoder, and word error rate
// against the transcriptions. RTF is wall-clock decoder busy time, which includes time the
// decoder was preempted on a loaded machine; CPU-RTF is its CPU time. Usage: RecognizerBench
// [--fast] (no pacing: a smoke run).
#include "platform/linux/speech/ModelCatalog.h"
#include "platform/linux/speech/SphinxEngine.h"
#include "platform/linux/speech/SphinxRecognizer.h"
#include "platform/linux/speech/WordErrorRate.h"

#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace murmelin;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kData = "/usr/share/pocketsphinx/test/data/";

struct Clip {
    std::string name;
    std::string reference;
    std::vector<float> samples; // 16 kHz mono
};

// 16-bit PCM WAV, mono, 16 kHz (what the test data holds).
std::vector<float> readWav(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        uint32_t size = 0;
        std::memcpy(&size, &bytes[at + 4], 4);
        if (std::memcmp(&bytes[at], "data", 4) == 0) {
            std::vector<float> out;
            for (std::size_t i = at + 8; i + 1 < std::min(bytes.size(), at + 8 + size); i += 2) {
                int16_t s = 0;
                std::memcpy(&s, &bytes[i], 2);
                out.push_back(static_cast<float>(s) / 32768.0f);
            }
            return out;
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

// Lines "<s> words </s> (id)".
std::vector<Clip> readSet(const std::string& dir, const std::string& transcription) {
    std::vector<Clip> clips;
    std::ifstream in(dir + transcription);
    const std::regex line(R"(^\s*(?:<s>)?\s*(.*?)\s*(?:</s>)?\s*\((\S+)\)\s*$)");
    for (std::string text; std::getline(in, text);) {
        std::smatch m;
        if (std::regex_match(text, m, line)) {
            Clip clip{m[2], m[1], readWav(dir + std::string(m[2]) + ".wav")};
            if (!clip.samples.empty()) {
                clips.push_back(std::move(clip));
            }
        }
    }
    return clips;
}

struct Outcome {
    std::string text;
    double finalMs = 0;    // endAudio() -> final result
    double handoverMs = 0; // first buffer appended -> taken by the decoder
};

Outcome recognise(SphinxRecognizer& recognizer, const Clip& clip, bool paced) {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<Clock::time_point> finalAt;
    std::string text;
    auto request = std::static_pointer_cast<SphinxRequest>(recognizer.makeRequest());
    auto task = recognizer.recognitionTask(
        request, [&](std::optional<RecognitionResult> result, std::optional<RecognitionError>) {
            std::lock_guard lock(mutex);
            if (result) {
                text = result->formattedString;
            }
            if (!result || result->isFinal) {
                finalAt = Clock::now();
                done.notify_one();
            }
        });
    constexpr std::size_t kFrames = 1024;
    const auto period = std::chrono::microseconds(kFrames * 1000000 / 16000);
    std::thread capture([&] {
        auto next = Clock::now();
        for (std::size_t at = 0; at < clip.samples.size(); at += kFrames) {
            if (paced) {
                next += period; // a buffer exists only once its last frame was captured
                std::this_thread::sleep_until(next);
            }
            const float* channels[1] = {clip.samples.data() + at};
            AudioBuffer buffer{channels, 1,
                               static_cast<uint32_t>(std::min(kFrames, clip.samples.size() - at)),
                               16000};
            request->append(buffer);
        }
    });
    capture.join();
    const auto ended = Clock::now();
    request->endAudio();
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finalAt.has_value(); });
    Outcome outcome;
    outcome.text = text;
    outcome.finalMs = std::chrono::duration<double, std::milli>(*finalAt - ended).count();
    if (request->firstAppend() && request->firstTaken()) {
        outcome.handoverMs = std::chrono::duration<double, std::milli>(*request->firstTaken() -
                                                                       *request->firstAppend())
                                 .count();
    }
    return outcome;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size()))) - 1;
    return v[std::min(i, v.size() - 1)];
}

// The process's CPU time: the decoder thread is the only one that works (the feeding thread
// sleeps), so this is the decoder's cost whatever else the machine is doing.
double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double mean(const std::vector<double>& v) {
    double sum = 0;
    for (double x : v) {
        sum += x;
    }
    return v.empty() ? 0 : sum / static_cast<double>(v.size());
}

} // namespace

int main(int argc, char** argv) {
    const bool paced = !(argc > 1 && std::strcmp(argv[1], "--fast") == 0);
    auto clips = readSet(kData + "librivox/", "transcription");
    auto cards = readSet(kData + "cards/", "cards.transcription");
    clips.insert(clips.end(), cards.begin(), cards.end());
    const auto model = readModelDirectory(systemModelDirectory(), "en-US");
    if (clips.empty() || !model) {
        std::fprintf(stderr, "needs pocketsphinx-testdata and pocketsphinx-en-us\n");
        return 1;
    }
    double audioSeconds = 0;
    for (const auto& c : clips) {
        audioSeconds += static_cast<double>(c.samples.size()) / 16000;
    }
    std::printf("%zu clips, %.1f s of speech, %s\n", clips.size(), audioSeconds,
                paced ? "fed at real-time pace" : "fed as fast as possible");

    struct Setting {
        const char* name;
        DecoderOptions options;
    };
    const Setting settings[] = {
        {"fwdflat yes, bestpath yes", {true, true, 3000}},
        {"fwdflat no,  bestpath yes", {false, true, 3000}},
        {"fwdflat no,  bestpath no ", {false, false, 3000}},
    };
    std::printf("%-26s %7s %6s %7s %24s %18s\n", "setting (-maxhmmpf 3000)", "WER", "RTF",
                "CPU-RTF", "final ms mean/p95/max", "handover ms max");
    for (const auto& setting : settings) {
        auto engine = std::make_shared<SphinxEngine>(*model, setting.options);
        SphinxRecognizer recognizer(engine);
        // The first utterance after loading is slower and sets the level normalisation:
        // one warm-up clip, then the set in a fixed order.
        recognise(recognizer, clips.back(), false);
        const auto busyBefore = engine->busyTime();
        const double cpuBefore = cpuSeconds();
        WordErrors errors;
        std::vector<double> finals, handovers;
        for (const auto& clip : clips) {
            const Outcome o = recognise(recognizer, clip, paced);
            // Case is the formatter's business, not the recogniser's accuracy.
            std::string lower = o.text;
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](unsigned char ch) { return std::tolower(ch); });
            errors += wordErrors(clip.reference, lower);
            finals.push_back(o.finalMs);
            handovers.push_back(o.handoverMs);
            if (std::getenv("BENCH_VERBOSE")) {
                std::printf("  %s: %s\n", clip.name.c_str(), o.text.c_str());
            }
        }
        const double busy = std::chrono::duration<double>(engine->busyTime() - busyBefore).count();
        const double cpu = cpuSeconds() - cpuBefore;
        std::printf("%-26s %6.1f%% %6.3f %7.3f %8.0f /%5.0f /%6.0f %18.1f\n", setting.name,
                    100 * errors.rate(), busy / audioSeconds, cpu / audioSeconds, mean(finals),
                    percentile(finals, 0.95), percentile(finals, 1.0), percentile(handovers, 1.0));
    }
    return 0;
}
