#include "SphinxDecoder.h"

#include "LanguageModel.h"

#include <pocketsphinx.h>

#include <cmath>
#include <filesystem>
#include <stdexcept>

namespace murmelin {
namespace {

struct ConfigDeleter {
    void operator()(cmd_ln_t* config) const { cmd_ln_free_r(config); }
};

void requireFile(const std::string& path, const char* what, const std::string& locale) {
    std::error_code ec;
    if (path.empty() || !std::filesystem::is_regular_file(path, ec)) {
        throw std::runtime_error("The " + locale + " speech model has no " + what);
    }
}

} // namespace

void DecoderDeleter::operator()(ps_decoder_t* decoder) const {
    ps_free(decoder);
}

DecoderPtr createDecoder(const SpeechModel& model, const DecoderOptions& options,
                         const char* logFile) {
    // pocketsphinx ends the process on some missing files instead of failing: check first.
    requireFile(model.acousticModel + "/mdef", "acoustic model", model.locale);
    requireFile(model.languageModel, "language model", model.locale);
    requireFile(model.dictionary, "dictionary", model.locale);
    const std::string maxhmmpf = std::to_string(options.maxhmmpf);
    std::unique_ptr<cmd_ln_t, ConfigDeleter> config(cmd_ln_init(
        nullptr, ps_args(), TRUE, "-hmm", model.acousticModel.c_str(), "-dict",
        model.dictionary.c_str(), "-logfn", logFile, "-fwdflat", options.fwdflat ? "yes" : "no",
        "-bestpath", options.bestpath ? "yes" : "no", "-maxhmmpf", maxhmmpf.c_str(), nullptr));
    if (!config) {
        throw std::runtime_error("The " + model.locale + " speech model has invalid settings");
    }
    DecoderPtr decoder(ps_init(config.get()));
    if (!decoder) {
        throw std::runtime_error("The " + model.locale + " speech model cannot be loaded");
    }
    if (!configureLanguageModel(decoder.get(), config.get(), model.languageModel)) {
        throw std::runtime_error("The " + model.locale + " language model cannot be loaded");
    }
    return decoder;
}

std::vector<float> levelEstimate(ps_decoder_t* decoder) {
    feat_t* feat = ps_get_feat(decoder);
    if (!feat || !feat->cmn_struct || feat->cmn_struct->veclen <= 0) {
        return {};
    }
    std::vector<mfcc_t> mean(static_cast<std::size_t>(feat->cmn_struct->veclen));
    cmn_live_get(feat->cmn_struct, mean.data());
    return std::vector<float>(mean.begin(), mean.end());
}

bool setLevelEstimate(ps_decoder_t* decoder, const std::vector<float>& estimate) {
    feat_t* feat = ps_get_feat(decoder);
    if (!feat || !feat->cmn_struct ||
        estimate.size() != static_cast<std::size_t>(feat->cmn_struct->veclen)) {
        return false;
    }
    for (float v : estimate) {
        if (!std::isfinite(v)) {
            return false;
        }
    }
    const std::vector<mfcc_t> mean(estimate.begin(), estimate.end());
    cmn_live_set(feat->cmn_struct, mean.data());
    return true;
}

} // namespace murmelin
