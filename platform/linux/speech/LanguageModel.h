#pragma once

#include <span>
#include <string>

typedef struct ps_decoder_s ps_decoder_t;
typedef struct cmd_ln_s cmd_ln_t;

namespace murmelin {

// A spoken command as the recogniser hears it: two words in a row.
struct CommandPhrase {
    const char* first;
    const char* second;
};

// The eleven phrases that the transcript cleaner turns into formatting.
std::span<const CommandPhrase> commandPhrases();

// How strongly the command phrases are favoured.
//
// The decoder mixes the packaged model with a small command model. pocketsphinx interpolates
// after its language weight (about 6.5) is applied, so the mixture behaves like the larger of
// the two: a word the command model predicts gets at least (weight ^ (1 / lw)) times its
// command-model probability, and every other word keeps its packaged probability times
// ((1 - weight) ^ (1 / lw)), a fraction of a percent less. With the defaults: a command's
// second word after its first at least 0.62, a first word anywhere at least 0.0006, every
// other word 0.8 % less. A larger weight or first-word share hears more commands and costs
// accuracy on ordinary speech ("four of clubs" becomes "four of close" at weight 0.2).
struct CommandBoost {
    float weight = 0.05f;     // share of the command model in the mixture
    double firstWord = 0.001; // command-model unigram probability of each first word
    double secondWord = 1e-5; // ... of each second word and of "</s>": alone they gain nothing
    double phrase = 0.99;     // after a first word, the share that goes to its second words
};

// The command model in ARPA text: a unigram for every word of `phrases` and "</s>", and one
// bigram per phrase. Each first word's bigrams share `phrase` equally; its back-off weight
// gives the rest to the unigrams of the words it has no bigram for, so each history sums to one.
// The unigrams leave 1 - (their sum) to the words the model does not name. Pure.
std::string commandModelArpa(std::span<const CommandPhrase> phrases, const CommandBoost& boost);

enum class LanguageModelKind {
    packaged, // the language model file as installed
    favoured, // the packaged model mixed with the command model
};

// The one place where a freshly created decoder's language model is chosen and installed as
// its active search. `config` is the decoder's configuration (created without "-lm", so that
// the model is loaded once, here); `languageModel` is the installed model file. A command
// model that cannot be made falls back to the packaged model with a line on stderr. Returns
// false when the decoder is left without a usable search. Called once per decoder, on the
// thread that created it, before its first utterance.
bool configureLanguageModel(ps_decoder_t* decoder, cmd_ln_t* config,
                            const std::string& languageModel,
                            LanguageModelKind kind = LanguageModelKind::favoured);

} // namespace murmelin
