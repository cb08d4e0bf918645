#include "Recorder.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace murmelin {

namespace {

constexpr float kFloorRMS = 0.00001f; // -100 dB; keeps log10 finite

} // namespace

Recorder::Failure Recorder::Failure::engine(std::shared_ptr<const EngineError> error) {
    return Failure(Kind::engine, std::move(error));
}

const char* Recorder::Failure::what() const noexcept {
    switch (kind_) {
    case Kind::notAuthorized:
        return "Microphone or Speech Recognition access is not granted.";
    case Kind::unavailable:
        return "Speech recognizer is unavailable.";
    case Kind::onDeviceUnsupported:
        return "On-device recognition isn't available for this language.";
    case Kind::engine:
        return error_ ? error_->what() : "";
    }
    return "";
}

std::shared_ptr<Recorder> Recorder::make(Ports ports) {
    return std::make_shared<Recorder>(Token{}, ports);
}

Recorder::Recorder(Token, Ports ports)
    : engine_(ports.engine), authorization_(ports.authorization), recognizers_(ports.recognizers),
      main_(ports.main) {}

float Recorder::level(const AudioBuffer& buffer) {
    const uint32_t n = buffer.frameLength;
    float rms = kFloorRMS;
    if (n > 0) {
        const float* samples = buffer.floatChannelData[0];
        float sum = 0.0f;
        for (uint32_t i = 0; i < n; ++i)
            sum += samples[i] * samples[i];
        rms = std::sqrt(sum / static_cast<float>(n));
        if (rms <= kFloorRMS)
            rms = kFloorRMS;
    }
    float value = (20.0f * std::log10(rms) + 50.0f) / 50.0f;
    value = std::isnan(value) ? 1.0f : std::min(value, 1.0f);
    if (!(value >= 0.0f))
        value = 0.0f;
    return value;
}

void Recorder::requestPermissions() {
    authorization_.requestSpeech();
    authorization_.requestMicrophone();
}

void Recorder::setOnLevel(std::function<void(float)> callback) {
    onLevel = std::move(callback);
}

void Recorder::start(const std::string& locale) {
    if (authorization_.speechStatus() != AuthorizationStatus::authorized)
        throw Failure::notAuthorized();
    if (authorization_.microphoneStatus() != AuthorizationStatus::authorized)
        throw Failure::notAuthorized();
    auto recognizer = recognizers_.make(locale);
    if (!recognizer || !recognizer->isAvailable())
        throw Failure::unavailable();
    if (!recognizer->supportsOnDeviceRecognition())
        throw Failure::onDeviceUnsupported();
    auto request = recognizer->makeRequest();
    if (!request)
        throw Failure::unavailable(); // nothing changed yet, as for the tests above
    request->requiresOnDeviceRecognition = true;
    request->shouldReportPartialResults = true;
    request->addsPunctuation = true;

    recognizer_ = recognizer;
    replaceRequest(request);
    latest_.clear();

    const AudioFormat format = engine_.outputFormat();
    engine_.removeTap();
    engine_.installTap(kBufferFrames, format, makeTap());
    engine_.prepare();
    try {
        engine_.start();
    } catch (const EngineError& error) {
        engine_.removeTap();
        throw Failure::engine(std::make_shared<const EngineError>(error));
    } catch (const std::exception& error) {
        // A back-end that breaks its contract must still leave no tap behind.
        engine_.removeTap();
        throw Failure::engine(std::make_shared<const EngineError>(error.what()));
    }
    running_ = true;
    // A task from before is dropped without cancelling: its late results still count.
    task_ = recognizer->recognitionTask(std::move(request), makeResultHandler());
}

void Recorder::stop(std::function<void(std::string)> completion) {
    if (!running_) {
        if (completion)
            completion("");
        return;
    }
    running_ = false;
    engine_.stop();
    engine_.removeTap();
    if (request_)
        request_->endAudio();
    completion_ = std::move(completion);
    // Never cancelled: it finishes whatever completion is pending when it fires.
    main_.asyncAfter(kTimeoutSeconds, [weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->finish();
    });
}

void Recorder::finish() {
    if (!completion_)
        return;
    auto completion = std::exchange(completion_, nullptr);
    if (auto task = std::exchange(task_, nullptr))
        task->cancel();
    replaceRequest(nullptr);
    std::string text = std::exchange(latest_, std::string());
    completion(std::move(text));
}

void Recorder::handleResult(std::optional<RecognitionResult> result,
                            std::optional<RecognitionError> error) {
    if (result) {
        latest_ = std::move(result->formattedString);
        if (result->isFinal) {
            finish();
            return;
        }
    }
    if (error)
        finish();
}

AudioTap Recorder::makeTap() {
    return [weak = weak_from_this(), main = &main_](const AudioBuffer& buffer) {
        if (auto self = weak.lock()) {
            if (auto request = self->currentRequest())
                request->append(buffer);
        }
        if (!buffer.floatChannelData || buffer.channelCount == 0 || !buffer.floatChannelData[0])
            return;
        const float value = level(buffer);
        main->async([weak, value] {
            auto self = weak.lock();
            if (!self || !self->onLevel)
                return;
            auto callback = self->onLevel; // the callback may replace itself
            callback(value);
        });
    };
}

RecognitionHandler Recorder::makeResultHandler() {
    return [weak = weak_from_this(), main = &main_](std::optional<RecognitionResult> result,
                                                    std::optional<RecognitionError> error) {
        main->async([weak, result = std::move(result), error = std::move(error)]() mutable {
            if (auto self = weak.lock())
                self->handleResult(std::move(result), std::move(error));
        });
    };
}

std::shared_ptr<RecognitionRequest> Recorder::currentRequest() const {
    std::lock_guard lock(requestMutex_);
    return request_;
}

void Recorder::replaceRequest(std::shared_ptr<RecognitionRequest> request) {
    {
        std::lock_guard lock(requestMutex_);
        request_.swap(request);
    }
    // The old request, if this was its last owner, is released outside the lock.
}

} // namespace murmelin
