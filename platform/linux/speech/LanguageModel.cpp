#include "LanguageModel.h"
#include "InstallLayout.h"

#include <pocketsphinx.h>
#include <sphinxbase/ngram_model.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace fs = std::filesystem;

namespace murmelin {
namespace {

constexpr const char* kSearch = kLanguageModelSearch;

struct NgramDeleter {
    void operator()(ngram_model_t* model) const { ngram_model_free(model); }
};
using NgramModel = std::unique_ptr<ngram_model_t, NgramDeleter>;

NgramModel read(cmd_ln_t* config, logmath_t* lmath, const std::string& path) {
    return NgramModel(ngram_model_read(config, path.c_str(), NGRAM_AUTO, lmath));
}

// The favoured model knows each command phrase also as one word: the dictionary learns to
// pronounce it as its two words one after the other.
void addJoinedWords(ps_decoder_t* decoder, ngram_model_t* model) {
    const auto phonesOf = [&](const char* word) {
        return std::unique_ptr<char, decltype(&std::free)>(ps_lookup_word(decoder, word),
                                                           &std::free);
    };
    for (const auto& phrase : commandPhrases()) {
        const auto first = phonesOf(phrase.first);
        const auto second = phonesOf(phrase.second);
        const std::string word = joinedWord(phrase);
        if (!first || !second || phonesOf(word.c_str()) ||
            ngram_wid(model, word.c_str()) == ngram_unknown_wid(model)) {
            continue;
        }
        const std::string phones = std::string(first.get()) + " " + second.get();
        ps_add_word(decoder, word.c_str(), phones.c_str(), FALSE);
    }
}

} // namespace

std::string joinedWord(const CommandPhrase& phrase) {
    return std::string(phrase.first) + "_" + phrase.second;
}

std::string favouredModelFor(const std::string& languageModel) {
    std::error_code error;
    const fs::path source = fs::absolute(languageModel, error);
    const auto sourceTime = fs::last_write_time(source, error);
    if (error) {
        return {};
    }
    for (const fs::path& folder : InstallLayout::favouredModelFolders()) {
        const fs::path candidate = folder / source.relative_path();
        const auto time = fs::last_write_time(candidate, error);
        if (!error && time >= sourceTime) {
            return candidate.string();
        }
    }
    return {};
}

bool configureLanguageModel(ps_decoder_t* decoder, cmd_ln_t* config,
                            const std::string& languageModel, LanguageModelKind kind) {
    if (decoder == nullptr || config == nullptr) {
        return false;
    }
    logmath_t* lmath = ps_get_logmath(decoder);
    NgramModel model;
    if (kind == LanguageModelKind::favoured) {
        const std::string favoured = favouredModelFor(languageModel);
        if (!favoured.empty()) {
            model = read(config, lmath, favoured);
        }
        if (!model) {
            std::fprintf(stderr, "murmelin: spoken commands not favoured, %s; using %s\n",
                         favoured.empty() ? "no favoured model was built for it"
                                          : ("cannot read " + favoured).c_str(),
                         languageModel.c_str());
        }
    }
    if (!model) {
        model = read(config, lmath, languageModel);
    }
    if (!model) {
        return false;
    }
    if (kind == LanguageModelKind::favoured) {
        addJoinedWords(decoder, model.get());
    }
    // The search keeps its own reference to the model.
    return ps_set_lm(decoder, kSearch, model.get()) == 0 && ps_set_search(decoder, kSearch) == 0;
}

} // namespace murmelin
