#pragma once
// The speech that CommandEvalBench decodes: synthesised sentences with and without spoken
// commands, and Debian's real recordings with their transcriptions.

#include "TextCleaner.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace murmelin::commandeval {

// Each command phrase at least three times, also "open quotes", "close quotes", "end quote".
inline const char* const kSentences[] = {
    "dear team new line thanks for the update",
    "that is all for today new line see you tomorrow",
    "first item is done new line second item is next",
    "the meeting is over new paragraph next we discuss the budget",
    "thank you for coming new paragraph the results are good",
    "we arrived late new paragraph the hotel was closed",
    "bullet point buy milk and bread",
    "the plan has three parts bullet point hire more staff",
    "please remember bullet point the report is due on friday",
    "she said open quote hello there close quote and left",
    "the sign read open quote no entry close quote in red",
    "he wrote open quote maybe later end quote on the card",
    "they shouted open quote run close quotes and ran",
    "the note said open quote back soon end quote",
    "open quotes good morning close quotes was all he said",
    "the title is open quotes summer nights close quotes",
    "my friend replied open quotes not today close quote",
    "he called it open quotes a small problem end quote today",
    "the variable is camel case user name",
    "write camel case get user id now",
    "please use camel case for the function name",
    "call it snake case total count",
    "the file uses snake case max value",
    "type snake case first name here",
    "all caps warning do not touch",
    "the header says all caps sale today",
    "write this in all caps please",
};

// Near misses of the commands; any command heard in them is a false one.
inline const char* const kControls[] = {
    "we saw a new lion at the zoo",
    "all cats like to sleep in the sun",
    "she wrote an open letter to the mayor",
    "the shops close early on sunday",
    "the new lime tree is growing fast",
    "he has a new parrot at home",
    "all cups are clean now",
    "the camels walk slowly in the sand",
    "open the door and close the window",
    "the end of the story was sad",
};

struct Clip {
    enum class Kind { command, control, real };
    Kind kind;
    std::string text;
    std::string voice;
    std::vector<int16_t> samples; // 16 kHz mono
};

struct SpokenPhrase {
    std::string words;
    TextCleaner::Command command;
};

// The command phrases in a sentence, as the cleaner would find them.
inline std::vector<SpokenPhrase> spokenPhrases(const std::string& text) {
    std::vector<SpokenPhrase> found;
    const auto tokens = TextCleaner::tokenize(text);
    for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(tokens.size());) {
        if (auto c = TextCleaner::command(i, tokens)) {
            found.push_back({tokens[i].core + " " + tokens[i + 1].core, *c});
            i += 2;
        } else {
            ++i;
        }
    }
    return found;
}

inline long residentKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

inline std::string audioFolder(const char* argv0) {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        exe = argv0;
    }
    return (exe.parent_path() / "command-eval-audio").string();
}

// 16-bit PCM WAV: the samples of its data chunk.
inline std::vector<int16_t> readWav(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        uint32_t size = 0;
        std::memcpy(&size, &bytes[at + 4], 4);
        if (std::memcmp(&bytes[at], "data", 4) == 0) {
            const std::size_t n = std::min<std::size_t>(size, bytes.size() - at - 8) / 2;
            std::vector<int16_t> samples(n);
            std::memcpy(samples.data(), &bytes[at + 8], n * 2);
            return samples;
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

// Speaks `text` into `out` (16 kHz mono) unless it is there already. The texts are our own
// fixed sentences of lowercase words, safe inside double quotes.
inline bool synthesise(const std::string& voice, const std::string& text, const std::string& out) {
    if (std::filesystem::exists(out)) {
        return true;
    }
    const std::string raw = out + ".tmp.wav";
    const std::string speak =
        voice == "hts"
            ? "echo \"" + text + "\" | text2wave -eval \"(voice_cmu_us_slt_arctic_hts)\" -o \"" +
                  raw + "\""
            : "flite -voice " + voice + " -t \"" + text + "\" -o \"" + raw + "\"";
    const std::string convert =
        "sox \"" + raw + "\" -r 16000 -c 1 -b 16 -e signed-integer \"" + out + "\"";
    const bool ok = std::system((speak + " >/dev/null 2>&1 && " + convert).c_str()) == 0;
    std::filesystem::remove(raw);
    return ok;
}

// Lines "<s> words </s> (id)" next to "<id>.wav".
inline void addRecordings(std::vector<Clip>& clips, const std::string& dir,
                          const std::string& transcription) {
    std::ifstream in(dir + transcription);
    const std::regex line(R"(^\s*(?:<s>)?\s*(.*?)\s*(?:</s>)?\s*\((\S+)\)\s*$)");
    for (std::string text; std::getline(in, text);) {
        std::smatch m;
        if (std::regex_match(text, m, line)) {
            std::istringstream words(m[1].str());
            std::string word, joined;
            while (words >> word) {
                joined += (joined.empty() ? "" : " ") + word;
            }
            clips.push_back({Clip::Kind::real, joined, "real", readWav(dir + m[2].str() + ".wav")});
        }
    }
}

inline std::vector<Clip> makeCorpus(const std::string& folder) {
    std::filesystem::create_directories(folder);
    std::vector<std::string> voices = {"rms", "slt", "awb"};
    if (std::system("command -v text2wave >/dev/null 2>&1") == 0) {
        voices.push_back("hts");
    } else {
        std::fprintf(stderr, "festival (text2wave) missing: flite voices only\n");
    }
    std::vector<Clip> clips;
    const std::string data = "/usr/share/pocketsphinx/test/data/";
    addRecordings(clips, data + "librivox/", "transcription");
    addRecordings(clips, data + "cards/", "cards.transcription");
    const auto add = [&](const char* const* texts, std::size_t n, Clip::Kind kind, char tag) {
        for (std::size_t i = 0; i < n; ++i) {
            for (const auto& voice : voices) {
                const std::string out =
                    folder + "/" + tag + std::to_string(i + 1) + "_" + voice + ".wav";
                if (!synthesise(voice, texts[i], out)) {
                    std::fprintf(stderr, "cannot synthesise \"%s\" with %s\n", texts[i],
                                 voice.c_str());
                    continue;
                }
                clips.push_back({kind, texts[i], voice, readWav(out)});
            }
        }
    };
    add(kSentences, std::size(kSentences), Clip::Kind::command, 'c');
    add(kControls, std::size(kControls), Clip::Kind::control, 'k');
    return clips;
}

} // namespace murmelin::commandeval
