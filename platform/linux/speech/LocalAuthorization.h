#pragma once

#include "ports/Speech.h"

#include <functional>

namespace murmelin {

// A plain Linux desktop has no permission prompts: recognition runs on this machine and
// is always allowed; the microphone is allowed unless the sound server refused us.
class LocalAuthorization final : public SpeechAuthorization {
public:
    // `microphoneRefused` reports whether the sound server denied access (may be empty);
    // main thread.
    explicit LocalAuthorization(std::function<bool()> microphoneRefused = {});

    AuthorizationStatus speechStatus() const override;
    AuthorizationStatus microphoneStatus() const override;
    void requestSpeech() override {}
    void requestMicrophone() override {}

private:
    std::function<bool()> microphoneRefused_;
};

} // namespace murmelin
