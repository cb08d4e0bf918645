#include "LanguageModel.h"

#include <pocketsphinx.h>

namespace murmelin {

bool configureLanguageModel(ps_decoder_t* decoder, cmd_ln_t* /*config*/,
                            const std::string& /*modelDir*/) {
    // The packaged n-gram model loaded through "-lm" is the active search.
    return decoder != nullptr && ps_get_search(decoder) != nullptr;
}

} // namespace murmelin
