#pragma once

#include <string>

typedef struct ps_decoder_s ps_decoder_t;
typedef struct cmd_ln_s cmd_ln_t;

namespace murmelin {

// The one place where a freshly loaded decoder's language model is chosen. Called once per
// decoder, right after it is created from `config` and before its first utterance;
// `modelDir` is the folder the model was found in. Today the decoder keeps the model's
// packaged language model (given to it at creation); a model that favours the spoken
// commands would be installed here with ps_set_lm()/ps_set_search(). Returns false when the
// decoder is left without a usable search.
bool configureLanguageModel(ps_decoder_t* decoder, cmd_ln_t* config, const std::string& modelDir);

} // namespace murmelin
