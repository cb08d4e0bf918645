#pragma once

#include "ModelCatalog.h"

#include <atomic>
#include <chrono>
#include <string>

namespace murmelin {

// A damaged model can crash the decoder's library, or make it end the process, while it is
// read. So a model is first loaded by a short-lived child process, the murmelin-check-model
// program, and only a model that loaded there is loaded by the program itself.
struct ModelCheckOptions {
    // The checker program; by default found beside the running executable, then where the
    // build and the installation put it.
    std::string checker = modelCheckerPath();
    // Models that passed, by the identity (path, size, time) of each of their files, so that
    // a start does not check an unchanged model again. Empty for no record.
    std::string verdicts = modelVerdictsPath();
    std::chrono::milliseconds timeout = std::chrono::seconds(60);

    static std::string modelCheckerPath();
    // $XDG_CACHE_HOME/murmelin/checked-models, else ~/.cache/murmelin/checked-models.
    static std::string modelVerdictsPath();
};

// Empty when `model` loads, else why it does not ("the model reader crashed
// (Segmentation fault)", the library's last error line, ...). Blocks while the child runs;
// setting `stop` ends it early (the model then counts as unchecked).
std::string checkModel(const SpeechModel& model, const ModelCheckOptions& options = {},
                       const std::atomic<bool>* stop = nullptr);

} // namespace murmelin
