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

// One start() to its completion. Main queue only: the tap and the handlers reach it through
// jobs they post, and hold it weakly, so whatever arrives after it finished does nothing.
struct Recorder::Dictation {
    std::shared_ptr<RecognitionRequest> request;
    std::shared_ptr<RecognitionTask> task;
    std::string latest;                          // the newest transcript of this dictation's task
    std::function<void(std::string)> completion; // set by stop()
    bool audioEnded = false;
    // A final result or an error came after the audio ended: the recogniser is done.
    bool recognitionEnded = false;
    bool interrupted = false;
};

std::shared_ptr<Recorder> Recorder::make(Ports ports) {
    auto recorder = std::make_shared<Recorder>(Token{}, ports);
    recorder->installInterruptionHandler();
    return recorder;
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

void Recorder::setOnInterrupted(std::function<void(std::string)> callback) {
    onInterrupted = std::move(callback);
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

    recognizer_ = recognizer;
    replaceRequest(request);

    engine_.removeTap();
    engine_.installTap(kBufferFrames, makeTap());
    try {
        engine_.start();
    } catch (const EngineError& error) {
        engine_.removeTap();
        replaceRequest(nullptr);
        throw Failure::engine(std::make_shared<const EngineError>(error));
    } catch (const std::exception& error) {
        // A back-end that breaks its contract must still leave no tap behind.
        engine_.removeTap();
        replaceRequest(nullptr);
        throw Failure::engine(std::make_shared<const EngineError>(error.what()));
    }
    running_ = true;
    // A recording that was never stopped has nobody waiting for it: it is dropped, and its
    // task with it, uncancelled.
    recording_ = std::make_shared<Dictation>();
    recording_->request = request;
    recording_->task =
        recognizer->recognitionTask(std::move(request), makeResultHandler(recording_));
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
    auto dictation = std::exchange(recording_, nullptr);
    endAudio(*dictation);
    dictation->completion = completion ? std::move(completion) : [](std::string) {};
    finishing_.push_back(dictation);
    auto finishIt = [weak = weak_from_this(), ref = DictationRef(dictation)] {
        auto self = weak.lock();
        auto finished = ref.lock();
        if (self && finished)
            self->finish(std::move(finished));
    };
    // After an interruption the recogniser may have answered already; else wait for it, but
    // never longer than the timeout, which belongs to this dictation alone.
    if (dictation->recognitionEnded)
        main_.async(std::move(finishIt));
    else
        main_.asyncAfter(kTimeoutSeconds, std::move(finishIt));
}

void Recorder::finish(std::shared_ptr<Dictation> dictation) {
    if (!dictation->completion)
        return;
    auto completion = std::exchange(dictation->completion, nullptr);
    if (auto task = std::exchange(dictation->task, nullptr))
        task->cancel();
    if (request_ == dictation->request) // a later start() has its own request: leave it
        replaceRequest(nullptr);
    dictation->request.reset();
    std::string text = std::exchange(dictation->latest, std::string());
    std::erase(finishing_, dictation);
    completion(std::move(text));
}

void Recorder::handleResult(const std::shared_ptr<Dictation>& dictation,
                            std::optional<RecognitionResult> result,
                            std::optional<RecognitionError> error) {
    bool ends = error.has_value();
    if (result) {
        dictation->latest = std::move(result->formattedString);
        ends = ends || result->isFinal;
    }
    if (!ends)
        return;
    if (dictation->audioEnded)
        dictation->recognitionEnded = true;
    finish(dictation);
}

void Recorder::interrupted(const std::shared_ptr<RecognitionRequest>& request, std::string reason) {
    auto dictation = dictationOf(request);
    if (!dictation || dictation->interrupted)
        return; // one report per dictation, however often the capture says so
    dictation->interrupted = true;
    // The recogniser finalises what it heard; the release delivers it as usual.
    endAudio(*dictation);
    if (onInterrupted) {
        auto callback = onInterrupted;
        callback(std::move(reason));
    }
}

void Recorder::endAudio(Dictation& dictation) {
    if (dictation.audioEnded || !dictation.request)
        return;
    dictation.audioEnded = true;
    dictation.request->endAudio();
}

std::shared_ptr<Recorder::Dictation>
Recorder::dictationOf(const std::shared_ptr<RecognitionRequest>& request) {
    if (!request)
        return nullptr;
    if (recording_ && recording_->request == request)
        return recording_;
    for (const auto& dictation : finishing_) {
        if (dictation->request == request)
            return dictation;
    }
    return nullptr;
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

RecognitionHandler Recorder::makeResultHandler(DictationRef dictation) {
    return [weak = weak_from_this(), dictation, main = &main_](
               std::optional<RecognitionResult> result, std::optional<RecognitionError> error) {
        main->async(
            [weak, dictation, result = std::move(result), error = std::move(error)]() mutable {
                auto self = weak.lock();
                auto target = dictation.lock();
                if (self && target)
                    self->handleResult(target, std::move(result), std::move(error));
            });
    };
}

void Recorder::installInterruptionHandler() {
    engine_.setOnInterrupted([weak = weak_from_this(), main = &main_](std::string reason) {
        // The request names the dictation whose capture ended. It is read here, on the
        // capture thread, so a report that reaches the main queue after the next start()
        // still ends the right one.
        std::shared_ptr<RecognitionRequest> request;
        if (auto self = weak.lock())
            request = self->currentRequest();
        if (!request)
            return;
        main->async([weak, request = std::move(request), reason = std::move(reason)]() mutable {
            if (auto self = weak.lock())
                self->interrupted(request, std::move(reason));
        });
    });
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
