#include "VerboseTrace.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace murmelin {

double monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

bool VerboseTrace::enabled() {
    const char* value = std::getenv("MURMELIN_VERBOSE");
    return value != nullptr && *value != '\0' && std::string(value) != "0";
}

namespace {

using State = VerboseTrace::State;

// The recogniser takes its own request type: the flags set on ours are copied over.
class TracedRequest final : public RecognitionRequest {
public:
    TracedRequest(std::shared_ptr<RecognitionRequest> inner, std::shared_ptr<State> state)
        : inner_(std::move(inner)), state_(std::move(state)) {}
    void append(const AudioBuffer& buffer) override {
        if (!seen_) {
            seen_ = true;
            const double now = monotonicMs();
            std::lock_guard lock(state_->mutex);
            state_->firstAudioMs = now;
        }
        inner_->append(buffer);
    }
    void endAudio() override { inner_->endAudio(); }
    std::shared_ptr<RecognitionRequest> unwrap() { return inner_; }

private:
    std::shared_ptr<RecognitionRequest> inner_;
    std::shared_ptr<State> state_;
    bool seen_ = false; // capture thread only
};

class TracedRecognizer final : public SpeechRecognizer {
public:
    TracedRecognizer(std::shared_ptr<SpeechRecognizer> inner, std::shared_ptr<State> state)
        : inner_(std::move(inner)), state_(std::move(state)) {}
    bool isAvailable() const override { return inner_->isAvailable(); }
    bool supportsOnDeviceRecognition() const override {
        return inner_->supportsOnDeviceRecognition();
    }
    std::shared_ptr<RecognitionRequest> makeRequest() override {
        return std::make_shared<TracedRequest>(inner_->makeRequest(), state_);
    }
    std::shared_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                     RecognitionHandler handler) override {
        if (auto traced = std::dynamic_pointer_cast<TracedRequest>(request))
            request = traced->unwrap();
        {
            std::lock_guard lock(state_->mutex);
            state_->startMs = monotonicMs();
            state_->firstAudioMs = -1;
            state_->raw.clear();
        }
        auto state = state_;
        return inner_->recognitionTask(
            std::move(request),
            [state, handler = std::move(handler)](std::optional<RecognitionResult> result,
                                                  std::optional<RecognitionError> error) {
                if (result) {
                    std::lock_guard lock(state->mutex);
                    state->raw = result->formattedString;
                }
                handler(std::move(result), std::move(error));
            });
    }

private:
    std::shared_ptr<SpeechRecognizer> inner_;
    std::shared_ptr<State> state_;
};

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out + "\"";
}

} // namespace

class VerboseTrace::Factory final : public SpeechRecognizerFactory {
public:
    Factory(SpeechRecognizerFactory& inner, std::shared_ptr<State> state)
        : inner_(inner), state_(std::move(state)) {}
    std::vector<std::string> supportedLocales() const override { return inner_.supportedLocales(); }
    std::shared_ptr<SpeechRecognizer> make(const std::string& locale) override {
        auto recognizer = inner_.make(locale);
        return recognizer ? std::make_shared<TracedRecognizer>(std::move(recognizer), state_)
                          : nullptr;
    }

private:
    SpeechRecognizerFactory& inner_;
    std::shared_ptr<State> state_;
};

// Delivery writes the clipboard once per dictation, right after cleaning: the line goes out
// there, before the paste is scheduled.
class VerboseTrace::Board final : public Clipboard {
public:
    Board(Clipboard& inner, std::shared_ptr<State> state)
        : inner_(inner), state_(std::move(state)) {}
    void setString(const std::string& text) override {
        inner_.setString(text);
        const double now = monotonicMs();
        std::lock_guard lock(state_->mutex);
        std::fprintf(stderr,
                     "murmelin: transcript: raw=%s cleaned=%s start_ms=%.1f first_audio_ms=%.1f "
                     "clipboard_ms=%.1f\n",
                     quoted(state_->raw).c_str(), quoted(text).c_str(), state_->startMs,
                     state_->firstAudioMs, now);
        std::fflush(stderr);
    }
    void setPrimarySelection(const std::string& text) override { inner_.setPrimarySelection(text); }

private:
    Clipboard& inner_;
    std::shared_ptr<State> state_;
};

VerboseTrace::VerboseTrace(SpeechRecognizerFactory& recognizers, Clipboard& clipboard)
    : innerRecognizers_(recognizers), innerClipboard_(clipboard) {
    if (!enabled())
        return;
    state_ = std::make_shared<State>();
    factory_ = std::make_unique<Factory>(recognizers, state_);
    board_ = std::make_unique<Board>(clipboard, state_);
}

VerboseTrace::~VerboseTrace() = default;

SpeechRecognizerFactory& VerboseTrace::recognizers() {
    return factory_ ? static_cast<SpeechRecognizerFactory&>(*factory_) : innerRecognizers_;
}

Clipboard& VerboseTrace::clipboard() {
    return board_ ? static_cast<Clipboard&>(*board_) : innerClipboard_;
}

} // namespace murmelin
