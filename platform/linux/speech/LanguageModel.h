#pragma once

#include "TextCleaner.h"

#include <string>

typedef struct ps_decoder_s ps_decoder_t;
typedef struct cmd_ln_s cmd_ln_t;

namespace murmelin {

using TextCleaner::CommandPhrase;
using TextCleaner::commandPhrases;

// The phrase as one decoder word, "bullet_point": heard as a whole, a phrase escapes the
// pruning and word-boundary costs that make its second word lose to a likelier-sounding one.
std::string joinedWord(const CommandPhrase& phrase);

enum class LanguageModelKind {
    packaged, // the language model file as installed
    favoured, // the same model with the spoken commands favoured, made by the build
};

// The name of the search configureLanguageModel() installs and selects.
inline constexpr const char* kLanguageModelSearch = "murmelin";

// Where the build (or the installation) keeps the favoured form of the installed model file
// `languageModel`: its absolute path under a models folder of ours. Empty when there is none, or
// when it is older than the file it was made from.
std::string favouredModelFor(const std::string& languageModel);

// The one place where a freshly created decoder's language model is chosen and installed as
// its active search. `config` is the decoder's configuration (created without "-lm", so that
// the model is loaded once, here); `languageModel` is the installed model file. Without a
// favoured form, or when it cannot be read, the installed model is used with a line on stderr.
// Returns false when the decoder is left without a usable search. Called once per decoder, on
// the thread that created it, before its first utterance.
bool configureLanguageModel(ps_decoder_t* decoder, cmd_ln_t* config,
                            const std::string& languageModel,
                            LanguageModelKind kind = LanguageModelKind::favoured);

} // namespace murmelin
