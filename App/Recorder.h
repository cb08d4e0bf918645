#pragma once

#include "MainQueue.h"
#include "ports/Audio.h"
#include "ports/Session.h"
#include "ports/Speech.h"

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace murmelin {

// Turns the microphone into a live level for the meter and a transcript of what was said
// between start() and stop(). One recorder lives for the whole process and is reused; the
// recogniser, request and task are made anew by each start(). Everything except the tap,
// the interruption handler and the result handler runs on the main queue.
//
// Each successful start() begins a dictation that owns its request, task, transcript and
// completion. Results, errors, timeouts and interruptions are bound to the dictation that
// caused them, so a late answer for an earlier dictation completes only that one and never
// disturbs a later one that records or waits.
class Recorder : public DictationRecorder, public std::enable_shared_from_this<Recorder> {
    struct Token {};

public:
    class Failure;

    // The collaborators. References must outlive the recorder and everything it installs.
    struct Ports {
        SpeechAuthorization& authorization;
        SpeechRecognizerFactory& recognizers;
        AudioInput& engine;
        MainQueue& main;
    };

    // How long stop() waits at most for the final result.
    static constexpr double kTimeoutSeconds = 4.0;
    // Frames asked of the engine per buffer; the engine may deliver other sizes.
    static constexpr uint32_t kBufferFrames = 1024;

    static std::shared_ptr<Recorder> make(Ports ports);
    Recorder(Token, Ports ports); // use make(): the callbacks need a weak reference

    // The meter's level in 0...1 for one buffer, from its first channel, in 32-bit float.
    static float level(const AudioBuffer& buffer);

    void requestPermissions() override;
    void setOnLevel(std::function<void(float)> callback) override;
    void setOnInterrupted(std::function<void(std::string reason)> callback) override;
    // Throws Failure.
    void start(const std::string& locale) override;
    void stop(std::function<void(std::string)> completion) override;

    // Called on the main queue with each buffer's level. Set by the owner.
    std::function<void(float)> onLevel;
    // Called on the main queue, at most once per dictation, when its capture ended before
    // stop() (sound server gone, microphone removed); the reason is a sentence for the user.
    std::function<void(std::string reason)> onInterrupted;

private:
    struct Dictation;
    using DictationRef = std::weak_ptr<Dictation>;

    void finish(std::shared_ptr<Dictation> dictation);
    void handleResult(const std::shared_ptr<Dictation>& dictation,
                      std::optional<RecognitionResult> result,
                      std::optional<RecognitionError> error);
    void interrupted(const std::shared_ptr<RecognitionRequest>& request, std::string reason);
    void endAudio(Dictation& dictation);
    // The recording or waiting dictation that feeds `request`, or null.
    std::shared_ptr<Dictation> dictationOf(const std::shared_ptr<RecognitionRequest>& request);
    AudioTap makeTap();
    RecognitionHandler makeResultHandler(DictationRef dictation);
    void installInterruptionHandler();
    // The capture thread reads the request; only the main queue replaces it.
    std::shared_ptr<RecognitionRequest> currentRequest() const;
    void replaceRequest(std::shared_ptr<RecognitionRequest> request);

    AudioInput& engine_;
    // The request the tap feeds: that of the latest start(), until its dictation finishes.
    std::shared_ptr<RecognitionRequest> request_; // guarded by requestMutex_ off the main queue
    std::shared_ptr<SpeechRecognizer> recognizer_;
    std::shared_ptr<Dictation> recording_;              // while running_
    std::vector<std::shared_ptr<Dictation>> finishing_; // stopped, awaiting their transcript
    bool running_ = false;

    SpeechAuthorization& authorization_;
    SpeechRecognizerFactory& recognizers_;
    MainQueue& main_;
    mutable std::mutex requestMutex_;
};

// Why a recording could not begin. what() and errorDescription() are the sentence to show.
class Recorder::Failure : public std::exception {
public:
    enum class Kind { notAuthorized, unavailable, onDeviceUnsupported, engine };

    static Failure notAuthorized() { return Failure(Kind::notAuthorized, nullptr); }
    static Failure unavailable() { return Failure(Kind::unavailable, nullptr); }
    static Failure onDeviceUnsupported() { return Failure(Kind::onDeviceUnsupported, nullptr); }
    // Carries the engine's own error; copies of the failure share it.
    static Failure engine(std::shared_ptr<const EngineError> error);

    Kind kind() const { return kind_; }
    // Null except for `engine`.
    const std::shared_ptr<const EngineError>& engineError() const { return error_; }
    // Present for every case.
    std::optional<std::string> errorDescription() const { return std::string(what()); }
    const char* what() const noexcept override;

private:
    Failure(Kind kind, std::shared_ptr<const EngineError> error)
        : kind_(kind), error_(std::move(error)) {}

    Kind kind_;
    std::shared_ptr<const EngineError> error_;
};

} // namespace murmelin
