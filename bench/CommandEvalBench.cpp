// How well the recogniser hears the spoken commands, with the packaged language model and with
// the one that favours the commands, side by side in one run.
//
// Sentences with each command phrase in context, and confusable controls without any, are
// spoken by flite (rms, slt, awb) and, when installed, festival's cmu_us_slt_arctic_hts; the
// audio is made once into a folder next to this program. Every clip is decoded by both models
// in the same order, 64 ms at a time, through the product's own language-model choice and
// hypothesis formatting; the cleaner's own matcher decides what counts as a command. Also run
// on Debian's pocketsphinx-testdata recordings for false commands and word error rate.
// Usage: CommandEvalBench [--verbose]. Exits 1 when a target is missed.
#include "HypothesisFormat.h"
#include "LanguageModel.h"
#include "TextCleaner.h"
#include "WordErrorRate.h"

#include "CommandEvalCorpus.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace murmelin;
using namespace murmelin::commandeval;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kModel = "/usr/share/pocketsphinx/model/en-us";

struct Decoder {
    std::unique_ptr<cmd_ln_t, int (*)(cmd_ln_t*)> config{nullptr, cmd_ln_free_r};
    std::unique_ptr<ps_decoder_t, int (*)(ps_decoder_t*)> ps{nullptr, ps_free};
    double loadSeconds = 0;
    long rssKb = 0;
};

// The product's settings (SphinxEngine with its default options), either language model.
Decoder load(LanguageModelKind kind) {
    Decoder d;
    const long before = residentKb();
    const auto began = Clock::now();
    d.config.reset(cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", (kModel + "/en-us").c_str(),
                               "-dict", (kModel + "/cmudict-en-us.dict").c_str(), "-logfn",
                               "/dev/null", "-fwdflat", "no", "-bestpath", "yes", "-maxhmmpf",
                               "3000", nullptr));
    d.ps.reset(ps_init(d.config.get()));
    if (!d.ps ||
        !configureLanguageModel(d.ps.get(), d.config.get(), kModel + "/en-us.lm.bin", kind)) {
        std::fprintf(stderr, "cannot load the en-us model\n");
        std::exit(2);
    }
    d.loadSeconds = std::chrono::duration<double>(Clock::now() - began).count();
    d.rssKb = residentKb() - before;
    return d;
}

std::string decode(Decoder& d, const std::vector<int16_t>& samples) {
    ps_start_utt(d.ps.get());
    for (std::size_t at = 0; at < samples.size(); at += 1024) {
        const std::size_t n = std::min<std::size_t>(1024, samples.size() - at);
        ps_process_raw(d.ps.get(), samples.data() + at, n, FALSE, FALSE);
    }
    ps_end_utt(d.ps.get());
    int32 score = 0;
    const char* hyp = ps_get_hyp(d.ps.get(), &score);
    return formatHypothesis(hyp ? hyp : "");
}

// The commands the cleaner finds, in order, each under its spoken phrase's canonical name.
std::vector<TextCleaner::Command> commandsIn(const std::string& text) {
    std::vector<TextCleaner::Command> found;
    const auto tokens = TextCleaner::tokenize(text);
    for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(tokens.size());) {
        if (auto c = TextCleaner::command(i, tokens)) {
            found.push_back(*c);
            i += 2;
        } else {
            ++i;
        }
    }
    return found;
}

struct Tally {
    int heard = 0, spoken = 0;
    void add(bool hit) {
        heard += hit;
        ++spoken;
    }
    double rate() const { return spoken ? 100.0 * heard / spoken : 0; }
};

struct Score {
    std::map<std::string, Tally> perPhrase, perVoice;
    Tally all;
    int controlFalse = 0, realFalse = 0;
    WordErrors real;
};

// Each spoken phrase counts as heard when the hypothesis holds its command (once each).
void scoreSentence(Score& s, const Clip& clip, const std::string& hyp, bool verbose,
                   const char* model) {
    auto heard = commandsIn(hyp);
    for (const auto& phrase : spokenPhrases(clip.text)) {
        const auto it = std::find(heard.begin(), heard.end(), phrase.command);
        const bool hit = it != heard.end();
        if (hit) {
            heard.erase(it);
        } else if (verbose) {
            std::printf("  miss %-8s %-13s %-6s | %s\n", model, phrase.words.c_str(),
                        clip.voice.c_str(), hyp.c_str());
        }
        s.perPhrase[phrase.words].add(hit);
        s.perVoice[clip.voice].add(hit);
        s.all.add(hit);
    }
}

std::string lower(std::string text) {
    for (auto& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// Prints the table; 0 when the favoured model meets every target, 1 otherwise.
int report(const Score& p, const Score& f, const Decoder& dp, const Decoder& df, double loadP,
           double loadF) {
    std::printf("\n%-16s %15s %15s\n", "command recall", "packaged", "favoured");
    bool met = f.all.rate() >= 85.0 && f.realFalse == 0 && f.real.rate() <= p.real.rate() + 0.01;
    for (const auto& [words, t] : f.perPhrase) {
        const Tally& tp = p.perPhrase.at(words);
        std::printf("%-16s %6d/%-3d %4.0f%% %6d/%-3d %4.0f%%\n", words.c_str(), tp.heard, tp.spoken,
                    tp.rate(), t.heard, t.spoken, t.rate());
        met = met && t.rate() >= 60.0;
    }
    std::printf("%-16s %6d/%-3d %4.0f%% %6d/%-3d %4.0f%%\n", "all", p.all.heard, p.all.spoken,
                p.all.rate(), f.all.heard, f.all.spoken, f.all.rate());
    for (const auto& [voice, t] : f.perVoice) {
        const Tally& tp = p.perVoice.at(voice);
        std::printf("  voice %-8s %6d/%-3d %4.0f%% %6d/%-3d %4.0f%%\n", voice.c_str(), tp.heard,
                    tp.spoken, tp.rate(), t.heard, t.spoken, t.rate());
    }
    std::printf("%-26s %8d %15d\n", "false commands, controls", p.controlFalse, f.controlFalse);
    std::printf("%-26s %8d %15d\n", "false commands, real", p.realFalse, f.realFalse);
    std::printf("%-26s %7.1f%% %14.1f%%  (%zu words)\n", "word error rate, real",
                100 * p.real.rate(), 100 * f.real.rate(), p.real.referenceWords);
    std::printf("%-26s %7.3fs %14.3fs  (median of 3, after a warm-up)\n", "load time", loadP,
                loadF);
    std::printf("%-26s %6.1fMB %13.1fMB  (first load)\n", "resident memory added",
                dp.rssKb / 1024.0, df.rssKb / 1024.0);
    std::printf("targets (recall >= 85%% overall, >= 60%% each; no false commands and word error "
                "rate at most 1 point worse on real speech): %s\n",
                met ? "met" : "NOT met");
    return met ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const bool verbose = argc > 1 && std::strcmp(argv[1], "--verbose") == 0;
    err_set_logfp(nullptr);
    const auto clips = makeCorpus(audioFolder(argv[0]));
    if (clips.empty()) {
        return 2;
    }
    // Load twice more after the measured pair: the first load also warms the file cache.
    Decoder packaged = load(LanguageModelKind::packaged);
    Decoder favoured = load(LanguageModelKind::favoured);
    std::vector<double> loadP, loadF;
    for (int round = 0; round < 3; ++round) {
        loadP.push_back(load(LanguageModelKind::packaged).loadSeconds);
        loadF.push_back(load(LanguageModelKind::favoured).loadSeconds);
    }
    std::sort(loadP.begin(), loadP.end());
    std::sort(loadF.begin(), loadF.end());

    Score scores[2];
    Decoder* decoders[2] = {&packaged, &favoured};
    const char* names[2] = {"packaged", "favoured"};
    for (const auto& clip : clips) {
        for (int m = 0; m < 2; ++m) {
            const std::string hyp = decode(*decoders[m], clip.samples);
            Score& s = scores[m];
            if (clip.kind == Clip::Kind::command) {
                scoreSentence(s, clip, hyp, verbose, names[m]);
            } else if (clip.kind == Clip::Kind::control) {
                const auto n = commandsIn(hyp).size();
                s.controlFalse += static_cast<int>(n);
                if (verbose && n)
                    std::printf("  false %-8s %s | %s\n", names[m], clip.text.c_str(), hyp.c_str());
            } else {
                s.realFalse += static_cast<int>(commandsIn(hyp).size());
                s.real += wordErrors(clip.text, lower(hyp));
                if (verbose)
                    std::printf("  real %-8s %s\n", names[m], hyp.c_str());
            }
        }
    }
    return report(scores[0], scores[1], packaged, favoured, loadP[1], loadF[1]);
}
