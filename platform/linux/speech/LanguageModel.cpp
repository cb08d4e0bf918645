#include "LanguageModel.h"

#include <pocketsphinx.h>
#include <sphinxbase/ngram_model.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <iomanip>
#include <memory>
#include <sstream>
#include <vector>

namespace murmelin {
namespace {

constexpr const char* kSearch = "murmelin";

constexpr CommandPhrase kPhrases[] = {
    {"new", "line"},    {"new", "paragraph"}, {"bullet", "point"}, {"open", "quote"},
    {"open", "quotes"}, {"close", "quote"},   {"close", "quotes"}, {"end", "quote"},
    {"camel", "case"},  {"snake", "case"},    {"all", "caps"},
};

struct NgramDeleter {
    void operator()(ngram_model_t* model) const { ngram_model_free(model); }
};
using NgramModel = std::unique_ptr<ngram_model_t, NgramDeleter>;

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

// Words in order of first appearance, each once.
void addOnce(std::vector<std::string>& words, const std::string& word) {
    for (const auto& known : words) {
        if (known == word) {
            return;
        }
    }
    words.push_back(word);
}

bool knows(ngram_model_t* model, const char* word) {
    return ngram_wid(model, word) != ngram_unknown_wid(model);
}

// sphinxbase reads models from files only: the text goes through an anonymous memory file.
NgramModel readArpaText(cmd_ln_t* config, logmath_t* lmath, const std::string& text) {
    FdCloser file{memfd_create("murmelin-commands.arpa", MFD_CLOEXEC)};
    if (file.fd < 0) {
        return nullptr;
    }
    for (std::size_t written = 0; written < text.size();) {
        const ssize_t n = write(file.fd, text.data() + written, text.size() - written);
        if (n <= 0) {
            return nullptr;
        }
        written += static_cast<std::size_t>(n);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(file.fd);
    return NgramModel(ngram_model_read(config, path.c_str(), NGRAM_ARPA, lmath));
}

// The packaged model mixed with the command model, or the reason it could not be made. Takes
// `packaged` only on success.
NgramModel favour(cmd_ln_t* config, logmath_t* lmath, NgramModel& packaged, std::string& why) {
    std::vector<CommandPhrase> phrases;
    for (const auto& phrase : kPhrases) {
        // Another language's model may lack these words; there is nothing to favour then.
        if (knows(packaged.get(), phrase.first) && knows(packaged.get(), phrase.second)) {
            phrases.push_back(phrase);
        }
    }
    if (phrases.empty()) {
        why = "the model has none of the command words";
        return nullptr;
    }
    const CommandBoost boost;
    NgramModel commands = readArpaText(config, lmath, commandModelArpa(phrases, boost));
    if (!commands) {
        why = "the command model cannot be read";
        return nullptr;
    }
    ngram_model_t* models[] = {packaged.get(), commands.get()};
    const char* names[] = {"packaged", "commands"};
    const float32 weights[] = {1.0f - boost.weight, boost.weight};
    NgramModel mixed(ngram_model_set_init(config, models, const_cast<char**>(names), weights, 2));
    if (!mixed) {
        why = "the models cannot be mixed";
        return nullptr;
    }
    // The set owns its members from here on.
    packaged.release();
    commands.release();
    return mixed;
}

std::string logProbability(double p) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(6) << std::log10(p);
    return out.str();
}

} // namespace

std::span<const CommandPhrase> commandPhrases() {
    return kPhrases;
}

std::string commandModelArpa(std::span<const CommandPhrase> phrases, const CommandBoost& boost) {
    std::vector<std::string> firsts;
    std::vector<std::string> seconds;
    for (const auto& phrase : phrases) {
        addOnce(firsts, phrase.first);
    }
    for (const auto& phrase : phrases) {
        addOnce(seconds, phrase.second);
    }
    std::ostringstream unigrams;
    unigrams << "-99 <s> 0\n" << logProbability(boost.secondWord) << " </s>\n";
    std::ostringstream bigrams;
    for (const auto& first : firsts) {
        std::vector<std::string> followers;
        for (const auto& phrase : phrases) {
            if (first == phrase.first) {
                addOnce(followers, phrase.second);
            }
        }
        double followerUnigrams = 0;
        for (const auto& second : followers) {
            // A word that is both a first and a second word keeps its first-word unigram.
            bool alsoFirst = false;
            for (const auto& f : firsts) {
                alsoFirst = alsoFirst || f == second;
            }
            followerUnigrams += alsoFirst ? boost.firstWord : boost.secondWord;
            bigrams << logProbability(boost.phrase / static_cast<double>(followers.size())) << ' '
                    << first << ' ' << second << '\n';
        }
        const double backoff = (1.0 - boost.phrase) / (1.0 - followerUnigrams);
        unigrams << logProbability(boost.firstWord) << ' ' << first << ' '
                 << logProbability(backoff) << '\n';
    }
    std::size_t unigramCount = 2 + firsts.size();
    for (const auto& second : seconds) {
        bool alsoFirst = false;
        for (const auto& f : firsts) {
            alsoFirst = alsoFirst || f == second;
        }
        if (!alsoFirst) {
            unigrams << logProbability(boost.secondWord) << ' ' << second << '\n';
            ++unigramCount;
        }
    }
    std::ostringstream arpa;
    arpa << "\\data\\\nngram 1=" << unigramCount << "\nngram 2=" << phrases.size() << "\n\n"
         << "\\1-grams:\n"
         << unigrams.str() << "\n\\2-grams:\n"
         << bigrams.str() << "\n\\end\\\n";
    return arpa.str();
}

bool configureLanguageModel(ps_decoder_t* decoder, cmd_ln_t* config,
                            const std::string& languageModel, LanguageModelKind kind) {
    if (decoder == nullptr || config == nullptr) {
        return false;
    }
    logmath_t* lmath = ps_get_logmath(decoder);
    NgramModel packaged(ngram_model_read(config, languageModel.c_str(), NGRAM_AUTO, lmath));
    if (!packaged) {
        return false;
    }
    NgramModel model;
    if (kind == LanguageModelKind::favoured) {
        std::string why;
        model = favour(config, lmath, packaged, why);
        if (!model) {
            std::fprintf(stderr, "murmelin: spoken commands not favoured, %s; using %s\n",
                         why.c_str(), languageModel.c_str());
        }
    }
    if (!model) {
        model = std::move(packaged);
    }
    // The search keeps its own reference to the model.
    return ps_set_lm(decoder, kSearch, model.get()) == 0 && ps_set_search(decoder, kSearch) == 0;
}

} // namespace murmelin
