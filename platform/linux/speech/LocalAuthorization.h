#pragma once

#include "ports/Speech.h"

#include <functional>

namespace murmelin {

// A plain Linux desktop has no permission prompts: recognition runs on this machine and
// is always allowed; the microphone is allowed unless the sound server refused us.
class LocalAuthorization final : public SpeechAuthorization {
public:
    // `microphoneRefused` reports whether the sound server denies access now (may be empty);
    // main thread. It is asked at every status read, so a refusal lasts only as long as the
    // server keeps refusing (PulseAudioInput::accessRefused asks the server again).
    explicit LocalAuthorization(std::function<bool()> microphoneRefused = {});

    AuthorizationStatus speechStatus() const override;
    AuthorizationStatus microphoneStatus() const override;
    void requestSpeech() override {}
    void requestMicrophone() override {}

private:
    std::function<bool()> microphoneRefused_;
};

} // namespace murmelin
