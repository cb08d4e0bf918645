// Feeds the recordings of Debian's pocketsphinx-testdata through the real recogniser as if a
// microphone were delivering them: 1024-frame (64 ms) buffers handed over at real-time pace
// from a capture thread, endAudio() right after the last one, exactly as the recorder does.
// Reports, per decoder setting: real-time factor (decoder busy time / audio time), end of
// audio -> final result, first buffer appended -> taken by the decoder, and word error rate
// against the transcriptions. RTF is wall-clock decoder busy time, which includes time the
// decoder was preempted on a loaded machine; CPU-RTF is its CPU time.
//
// Usage: RecognizerBench [--fast]      the table above (--fast: no pacing, a smoke run)
//        RecognizerBench --long on|off [--paced]
//            10 s, 60 s and 180 s dictations made of the clips one after another, with long
//            dictations decoded in pieces (on) or as one decoder utterance (off): end of audio
//            -> final, word error rate and resident memory. Fed as fast as the decoder takes
//            the audio (its queue holds at most two buffers), or at real-time pace.
//        RecognizerBench --first
//            Word error rate of each LibriVox clip decoded first by a fresh decoder, tenth
//            after nine others, and first by a fresh decoder that starts from the level
//            estimate the other one saved.
#include "ModelCatalog.h"
#include "SphinxEngine.h"
#include "SphinxRecognizer.h"
#include "WordErrorRate.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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
    double backlogMs = 0;  // audio not yet taken by the decoder at the end of the audio
};

enum class Feed { paced, fast, drained };

// Resident memory of this process in MB, from /proc/self/status ("VmRSS" or "VmHWM").
double residentMb(const char* field = "VmRSS") {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(field, 0) == 0) {
            return std::atof(line.c_str() + std::strlen(field) + 1) / 1024;
        }
    }
    return 0;
}

Outcome recognise(SphinxRecognizer& recognizer, const Clip& clip, Feed feed) {
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
            if (feed == Feed::paced) {
                next += period; // a buffer exists only once its last frame was captured
                std::this_thread::sleep_until(next);
            }
            while (feed == Feed::drained && request->pending() > 2 * kFrames) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            const float* channels[1] = {clip.samples.data() + at};
            AudioBuffer buffer{channels, 1,
                               static_cast<uint32_t>(std::min(kFrames, clip.samples.size() - at))};
            request->append(buffer);
        }
    });
    capture.join();
    const auto ended = Clock::now();
    const double backlogMs = static_cast<double>(request->pending()) / 16;
    request->endAudio();
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finalAt.has_value(); });
    Outcome outcome;
    outcome.text = text;
    outcome.finalMs = std::chrono::duration<double, std::milli>(*finalAt - ended).count();
    outcome.backlogMs = backlogMs;
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

std::string lowercase(std::string text) {
    // Case is the formatter's business, not the recogniser's accuracy.
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char ch) { return std::tolower(ch); });
    return text;
}

std::shared_ptr<SphinxEngine> loadEngine(const SpeechModel& model, const DecoderOptions& options,
                                         const std::string& levelsFile = {}) {
    auto engine = std::make_shared<SphinxEngine>(model, options, levelsFile);
    if (const std::string error = engine->waitUntilLoaded(); !error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    return engine;
}

// The clips one after another (each with the pauses it was recorded with) until `seconds`.
Clip longClip(const std::vector<Clip>& clips, double seconds) {
    Clip out{std::to_string(static_cast<int>(seconds)) + " s", {}, {}};
    for (std::size_t i = 0; static_cast<double>(out.samples.size()) < seconds * 16000; ++i) {
        const Clip& clip = clips[i % clips.size()];
        out.samples.insert(out.samples.end(), clip.samples.begin(), clip.samples.end());
        out.reference += (out.reference.empty() ? "" : " ") + clip.reference;
    }
    out.samples.resize(static_cast<std::size_t>(seconds * 16000));
    return out;
}

int longDictations(const SpeechModel& model, const std::vector<Clip>& clips, bool pieces,
                   bool paced) {
    DecoderOptions options;
    options.cutAtPauses = pieces;
    std::printf("long dictations, %s, fed %s; resident after loading: ",
                pieces ? "decoded in pieces cut at pauses" : "decoded as one utterance",
                paced ? "at real-time pace" : "as fast as the decoder takes it");
    auto engine = loadEngine(model, options);
    SphinxRecognizer recognizer(engine);
    recognise(recognizer, clips.back(), Feed::fast);
    std::printf("%.0f MB\n", residentMb());
    std::printf("%8s %10s %12s %7s %12s %15s\n", "audio", "final ms", "backlog ms", "WER",
                "resident MB", "peak MB so far");
    // Whole clips are cut at the length, so the last words are partly heard: the word error
    // rate of a long dictation is for comparing the two ways, not with the table above.
    for (double seconds : {10.0, 60.0, 180.0}) {
        const Clip clip = longClip(clips, seconds);
        const Outcome o = recognise(recognizer, clip, paced ? Feed::paced : Feed::drained);
        const double wer = wordErrors(clip.reference, lowercase(o.text)).rate();
        std::printf("%8s %10.0f %12.0f %6.1f%% %12.0f %15.0f\n", clip.name.c_str(), o.finalMs,
                    o.backlogMs, 100 * wer, residentMb(), residentMb("VmHWM"));
    }
    return 0;
}

int firstAgainstTenth(const SpeechModel& model, const std::vector<Clip>& clips) {
    const std::vector<Clip> librivox(clips.begin(), clips.begin() + 5);
    const std::string levels = std::filesystem::temp_directory_path() /
                               ("murmelin-bench-levels-" + std::to_string(::getpid()) + ".txt");
    WordErrors first, tenth, firstSaved;
    for (std::size_t i = 0; i < librivox.size(); ++i) {
        const Clip& clip = librivox[i];
        std::filesystem::remove(levels);
        {
            auto engine = loadEngine(model, {}, levels);
            SphinxRecognizer recognizer(engine);
            const Outcome o = recognise(recognizer, clip, Feed::fast);
            first += wordErrors(clip.reference, lowercase(o.text));
            std::printf("  first %s: %s\n", clip.name.c_str(), o.text.c_str());
            for (std::size_t k = 1; k < 10; ++k) {
                recognise(recognizer, clips[(i + k) % clips.size()], Feed::fast);
            }
            const Outcome t = recognise(recognizer, clip, Feed::fast);
            tenth += wordErrors(clip.reference, lowercase(t.text));
            std::printf("  tenth %s: %s\n", clip.name.c_str(), t.text.c_str());
        }
        auto engine = loadEngine(model, {}, levels);
        SphinxRecognizer recognizer(engine);
        const Outcome o = recognise(recognizer, clip, Feed::fast);
        firstSaved += wordErrors(clip.reference, lowercase(o.text));
        std::printf("  first with the saved estimate %s: %s\n", clip.name.c_str(), o.text.c_str());
    }
    std::filesystem::remove(levels);
    std::printf("word error rate on the %zu LibriVox clips (%zu words):\n", librivox.size(),
                first.referenceWords);
    std::printf("  first dictation, model default estimate: %5.1f%%\n", 100 * first.rate());
    std::printf("  tenth dictation:                         %5.1f%%\n", 100 * tenth.rate());
    std::printf("  first dictation, saved estimate:         %5.1f%%\n", 100 * firstSaved.rate());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto has = [&](const char* arg) {
        return std::find(args.begin(), args.end(), arg) != args.end();
    };
    const bool paced = !has("--fast");
    auto clips = readSet(kData + "librivox/", "transcription");
    auto cards = readSet(kData + "cards/", "cards.transcription");
    clips.insert(clips.end(), cards.begin(), cards.end());
    const auto model = readModelDirectory(systemModelDirectory(), "en-US");
    if (clips.empty() || !model) {
        std::fprintf(stderr, "needs pocketsphinx-testdata and pocketsphinx-en-us\n");
        return 1;
    }
    if (has("--long")) {
        return longDictations(*model, clips, !has("off"), has("--paced"));
    }
    if (has("--first")) {
        return firstAgainstTenth(*model, clips);
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
        auto engine = loadEngine(*model, setting.options);
        SphinxRecognizer recognizer(engine);
        // The first utterance after loading is slower and sets the level normalisation:
        // one warm-up clip, then the set in a fixed order.
        recognise(recognizer, clips.back(), Feed::fast);
        const auto busyBefore = engine->busyTime();
        const double cpuBefore = cpuSeconds();
        WordErrors errors;
        std::vector<double> finals, handovers;
        for (const auto& clip : clips) {
            const Outcome o = recognise(recognizer, clip, paced ? Feed::paced : Feed::fast);
            errors += wordErrors(clip.reference, lowercase(o.text));
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
