#pragma once

#include "ModelCatalog.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct ps_decoder_s ps_decoder_t;

namespace murmelin {

// Decoder settings. The defaults were chosen by measurement (bench/RecognizerBench): the
// second "flat" pass costs latency at release for no accuracy; best-path rescoring is cheap
// and clearly more accurate.
struct DecoderOptions {
    bool fwdflat = false;
    bool bestpath = true;
    int maxhmmpf = 3000;
    // Long dictations decoded in pieces (see SphinxEngine); off only to measure the difference.
    bool cutAtPauses = true;
};

struct DecoderDeleter {
    void operator()(ps_decoder_t* decoder) const;
};
using DecoderPtr = std::unique_ptr<ps_decoder_t, DecoderDeleter>;

// A decoder for `model` with its language model installed, ready for its first utterance.
// Throws std::runtime_error naming what is missing or unreadable. The library's log goes to
// `logFile`. The library may crash or end the process on a damaged model: outside the model
// checker (ModelCheck.h), only models it accepted are loaded.
DecoderPtr createDecoder(const SpeechModel& model, const DecoderOptions& options,
                         const char* logFile = "/dev/null");

// The decoder's running level normalisation (its live cepstral mean), which it carries from
// one utterance to the next.
std::vector<float> levelEstimate(ps_decoder_t* decoder);
// False, leaving the decoder as it was, when `estimate` does not fit its features.
bool setLevelEstimate(ps_decoder_t* decoder, const std::vector<float>& estimate);

} // namespace murmelin
