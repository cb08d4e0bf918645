#include "VerboseTrace.h"

#include "PasteChords.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cerrno>
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
using Event = nlohmann::ordered_json; // "event" and "ms" lead each line

Event event(const char* name, double ms = monotonicMs()) {
    return Event{{"event", name}, {"ms", ms}};
}

// One write per line: other threads' output may come before or after it, never inside it.
// Text that is not UTF-8 is written with U+FFFD in its place rather than failing.
void emit(const State& state, const Event& e) {
    const std::string line =
        e.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    for (size_t done = 0; done < line.size();) {
        const ssize_t n = ::write(state.fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // a trace nobody can read is not worth stopping the program for
        done += size_t(n);
    }
}

// The recogniser takes its own request type: ours only notes when audio first flows.
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
        const double now = monotonicMs();
        {
            std::lock_guard lock(state_->mutex);
            state_->startMs = now;
            state_->firstAudioMs = -1;
            state_->raw.clear();
        }
        emit(*state_, event("recognition_started", now));
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
        Event e = event("transcript");
        {
            std::lock_guard lock(state_->mutex);
            e["raw"] = state_->raw;
            e["cleaned"] = text;
            e["start_ms"] = state_->startMs;
            e["first_audio_ms"] = state_->firstAudioMs;
        }
        e["clipboard_ms"] = e["ms"];
        emit(*state_, e);
    }
    void setPrimarySelection(const std::string& text) override { inner_.setPrimarySelection(text); }

private:
    Clipboard& inner_;
    std::shared_ptr<State> state_;
};

class VerboseTrace::Keys final : public KeyInjector {
public:
    Keys(KeyInjector& inner, std::shared_ptr<State> state)
        : inner_(inner), state_(std::move(state)) {}
    PasteChord pasteChord() override { return inner_.pasteChord(); }
    bool postPaste(PasteChord chord) override {
        const bool posted = inner_.postPaste(chord);
        Event e = event("paste");
        e["chord"] = pasteChordName(chord);
        e["posted"] = posted;
        emit(*state_, e);
        return posted;
    }

private:
    KeyInjector& inner_;
    std::shared_ptr<State> state_;
};

VerboseTrace::VerboseTrace(SpeechRecognizerFactory& recognizers, Clipboard& clipboard,
                           KeyInjector& keys, int fd)
    : innerRecognizers_(recognizers), innerClipboard_(clipboard), innerKeys_(keys) {
    if (fd < 0)
        return;
    state_ = std::make_shared<State>(fd);
    factory_ = std::make_unique<Factory>(recognizers, state_);
    board_ = std::make_unique<Board>(clipboard, state_);
    keys_ = std::make_unique<Keys>(keys, state_);
}

VerboseTrace::~VerboseTrace() = default;

void VerboseTrace::ready(bool hotKeyBound) {
    if (!state_) // tracing is off
        return;
    Event e = event("ready");
    e["hot_key"] = hotKeyBound ? "bound" : "not bound";
    emit(*state_, e);
}

SpeechRecognizerFactory& VerboseTrace::recognizers() {
    return factory_ ? static_cast<SpeechRecognizerFactory&>(*factory_) : innerRecognizers_;
}

Clipboard& VerboseTrace::clipboard() {
    return board_ ? static_cast<Clipboard&>(*board_) : innerClipboard_;
}

KeyInjector& VerboseTrace::keys() {
    return keys_ ? static_cast<KeyInjector&>(*keys_) : innerKeys_;
}

} // namespace murmelin
