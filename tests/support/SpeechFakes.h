#pragma once

// Fakes of the speech, audio and hot-key ports. They record what was asked of them and let
// a test drive the other side (buffers, results, key events) from any thread.

#include "ports/Audio.h"
#include "ports/Shortcuts.h"
#include "ports/Speech.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace murmelin::fakes {

// Everything a fake was asked, in order; safe to append to from any thread.
class CallLog {
public:
    void add(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }
    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

class FakeAuthorization : public SpeechAuthorization {
public:
    AuthorizationStatus speech = AuthorizationStatus::authorized;
    AuthorizationStatus microphone = AuthorizationStatus::authorized;
    mutable CallLog log;

    AuthorizationStatus speechStatus() const override {
        log.add("speechStatus");
        return speech;
    }
    AuthorizationStatus microphoneStatus() const override {
        log.add("microphoneStatus");
        return microphone;
    }
    void requestSpeech() override { log.add("requestSpeech"); }
    void requestMicrophone() override { log.add("requestMicrophone"); }
};

class FakeRequest : public RecognitionRequest {
public:
    std::atomic<int> appended{0};
    std::atomic<int> endedAudio{0};
    void append(const AudioBuffer&) override { ++appended; }
    void endAudio() override { ++endedAudio; }
};

class FakeTask : public RecognitionTask {
public:
    FakeTask(std::shared_ptr<RecognitionRequest> request, RecognitionHandler handler)
        : request(std::move(request)), handler(std::move(handler)) {}
    std::shared_ptr<RecognitionRequest> request;
    const RecognitionHandler handler;
    std::atomic<int> cancelled{0};
    void cancel() override { ++cancelled; }

    // What the recogniser's own thread would do; call from any thread.
    void partial(std::string text) const { handler(RecognitionResult{std::move(text), false}, {}); }
    void final(std::string text) const { handler(RecognitionResult{std::move(text), true}, {}); }
    void fail(std::string description = "recognition failed") const {
        handler(std::nullopt, RecognitionError{std::move(description)});
    }
};

class FakeRecognizer : public SpeechRecognizer {
public:
    bool available = true;
    bool onDevice = true;
    bool givesRequest = true;

    bool isAvailable() const override { return available; }
    bool supportsOnDeviceRecognition() const override { return onDevice; }
    std::shared_ptr<RecognitionRequest> makeRequest() override {
        if (!givesRequest)
            return nullptr;
        auto request = std::make_shared<FakeRequest>();
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        return request;
    }
    std::shared_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                     RecognitionHandler handler) override {
        auto task = std::make_shared<FakeTask>(std::move(request), std::move(handler));
        std::lock_guard lock(mutex_);
        tasks_.push_back(task);
        return task;
    }

    std::vector<std::shared_ptr<FakeTask>> tasks() const {
        std::lock_guard lock(mutex_);
        return tasks_;
    }
    std::shared_ptr<FakeTask> lastTask() const {
        std::lock_guard lock(mutex_);
        return tasks_.empty() ? nullptr : tasks_.back();
    }
    std::vector<std::shared_ptr<FakeRequest>> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    std::shared_ptr<FakeRequest> lastRequest() const {
        std::lock_guard lock(mutex_);
        return requests_.empty() ? nullptr : requests_.back();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<FakeRequest>> requests_;
    std::vector<std::shared_ptr<FakeTask>> tasks_;
};

// Hands out one configured recogniser per locale; no entry means no recogniser.
class FakeRecognizerFactory : public SpeechRecognizerFactory {
public:
    std::map<std::string, std::shared_ptr<FakeRecognizer>> byLocale;
    CallLog log;

    std::vector<std::string> supportedLocales() const override {
        std::vector<std::string> ids;
        for (const auto& entry : byLocale)
            ids.push_back(entry.first);
        return ids;
    }
    std::shared_ptr<SpeechRecognizer> make(const std::string& locale) override {
        log.add("make " + locale);
        auto it = byLocale.find(locale);
        return it == byLocale.end() ? nullptr : it->second;
    }
};

// The microphone. feed() plays the capture thread: call it from whichever thread should.
class FakeAudioInput : public AudioInput {
public:
    std::string startError; // when not empty, start() throws EngineError with this text
    CallLog log;

    void installTap(uint32_t bufferSize, AudioTap tap) override {
        log.add("installTap " + std::to_string(bufferSize));
        std::lock_guard lock(mutex_);
        tap_ = std::make_shared<AudioTap>(std::move(tap));
    }
    void removeTap() override {
        log.add("removeTap");
        std::lock_guard lock(mutex_);
        tap_.reset();
    }
    void start() override {
        log.add("start");
        if (!startError.empty())
            throw EngineError(startError);
        running_ = true;
    }
    void stop() override {
        log.add("stop");
        running_ = false;
    }
    void setOnInterrupted(std::function<void(std::string)> handler) override {
        onInterrupted_ = std::move(handler);
    }
    // Plays the capture thread losing the server or the device.
    void interrupt(const std::string& reason) {
        running_ = false;
        if (onInterrupted_)
            onInterrupted_(reason);
    }

    bool hasTap() const {
        std::lock_guard lock(mutex_);
        return tap_ != nullptr;
    }
    bool running() const { return running_; }
    // Calls the installed tap, outside the lock, as a real capture thread would; returns
    // whether a tap was there.
    bool feed(const AudioBuffer& buffer) {
        std::shared_ptr<AudioTap> tap;
        {
            std::lock_guard lock(mutex_);
            tap = tap_;
        }
        if (!tap)
            return false;
        (*tap)(buffer);
        return true;
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<AudioTap> tap_;
    std::atomic<bool> running_{false};
    std::function<void(std::string)> onInterrupted_;
};

// Float buffers owned by the test, viewed as an AudioBuffer.
struct TestBuffer {
    std::vector<std::vector<float>> channels;
    std::vector<const float*> pointers;

    explicit TestBuffer(std::vector<std::vector<float>> samples) : channels(std::move(samples)) {
        for (const auto& channel : channels)
            pointers.push_back(channel.data());
    }
    // A mono buffer of n copies of `value`.
    static TestBuffer constant(float value, std::size_t n) {
        return TestBuffer({std::vector<float>(n, value)});
    }
    AudioBuffer view() const {
        AudioBuffer buffer;
        buffer.floatChannelData = pointers.empty() ? nullptr : pointers.data();
        buffer.channelCount = static_cast<uint32_t>(channels.size());
        buffer.frameLength = channels.empty() ? 0 : static_cast<uint32_t>(channels[0].size());
        return buffer;
    }
};

class FakeHotKeySource : public HotKeySource {
public:
    CallLog log;
    std::vector<Shortcut> shortcuts;                       // every bind(), in order
    ShortcutBinding answer{HotKeyRegistration::bound, ""}; // what binds answer
    bool answerLater = false;                              // true: the answer waits for answerNow()

    void bind(const Shortcut& shortcut, std::function<void(ShortcutEdge)> onEdge,
              std::function<void(ShortcutBinding)> onResult) override {
        log.add("bind " + shortcut.preferredTrigger);
        shortcuts.push_back(shortcut);
        {
            std::lock_guard lock(mutex_);
            handler_ = std::move(onEdge);
        }
        pending_ = std::move(onResult);
        if (!answerLater)
            answerNow();
    }
    void answerNow() {
        if (auto result = std::exchange(pending_, nullptr))
            result(answer);
    }
    // Delivers an edge as the desktop would, on the calling thread; false without a handler.
    bool fire(ShortcutEdge edge) {
        std::function<void(ShortcutEdge)> handler;
        {
            std::lock_guard lock(mutex_);
            handler = handler_;
        }
        if (!handler)
            return false;
        handler(edge);
        return true;
    }

private:
    std::mutex mutex_;
    std::function<void(ShortcutEdge)> handler_;
    std::function<void(ShortcutBinding)> pending_;
};

} // namespace murmelin::fakes
