#pragma once

#include "ports/Audio.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace murmelin {

enum class AuthorizationStatus { notDetermined, denied, restricted, authorized };

// Whether the user lets us listen and transcribe. Main thread.
class SpeechAuthorization {
public:
    virtual ~SpeechAuthorization() = default;
    virtual AuthorizationStatus speechStatus() const = 0;
    virtual AuthorizationStatus microphoneStatus() const = 0;
    // Ask without waiting; the answers are not reported.
    virtual void requestSpeech() = 0;
    virtual void requestMicrophone() = 0;
};

// One streaming request: audio goes in buffer by buffer. append() is called on the capture
// thread, endAudio() on the main thread; implementations must be safe for that.
class RecognitionRequest {
public:
    virtual ~RecognitionRequest() = default;
    virtual void append(const AudioBuffer& buffer) = 0;
    virtual void endAudio() = 0;
};

struct RecognitionResult {
    std::string formattedString; // best hypothesis for all audio so far
    bool isFinal = false;
};

struct RecognitionError {
    std::string description;
};

// Called on a recogniser thread, zero or more times, possibly after cancel().
using RecognitionHandler =
    std::function<void(std::optional<RecognitionResult>, std::optional<RecognitionError>)>;

class RecognitionTask {
public:
    virtual ~RecognitionTask() = default;
    virtual void cancel() = 0; // main thread
};

class SpeechRecognizer {
public:
    virtual ~SpeechRecognizer() = default;
    virtual bool isAvailable() const = 0;
    virtual bool supportsOnDeviceRecognition() const = 0;
    virtual std::shared_ptr<RecognitionRequest> makeRequest() = 0;
    // Starts recognising what `request` is fed. Main thread.
    virtual std::shared_ptr<RecognitionTask>
    recognitionTask(std::shared_ptr<RecognitionRequest> request, RecognitionHandler handler) = 0;
};

class SpeechRecognizerFactory {
public:
    virtual ~SpeechRecognizerFactory() = default;
    // Identifiers such as "en-US", in no particular order.
    virtual std::vector<std::string> supportedLocales() const = 0;
    // A recogniser for `locale`, or null when there is none.
    virtual std::shared_ptr<SpeechRecognizer> make(const std::string& locale) = 0;
};

} // namespace murmelin
