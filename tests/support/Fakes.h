#pragma once

// Fakes of the ports, for unit tests of the controller, the recorder, the menu and
// anything else that talks to the desktop through App/ports: they record what was asked
// of them and let a test play the other side (keys, buffers, results), from any thread
// where the real one calls from its own.

#include "Controller.h"
#include "HUD.h"
#include "MainQueue.h"
#include "ports/Audio.h"
#include "ports/Defaults.h"
#include "ports/Desktop.h"
#include "ports/Locales.h"
#include "ports/Screens.h"
#include "ports/Session.h"
#include "ports/Shortcuts.h"
#include "ports/Speech.h"
#include "ports/StatusItem.h"

#include <atomic>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace murmelin::testing {

class FakeAuthorization : public SpeechAuthorization {
public:
    AuthorizationStatus speech = AuthorizationStatus::authorized;
    AuthorizationStatus microphone = AuthorizationStatus::authorized;
    mutable std::vector<std::string> log; // what was asked, in order

    AuthorizationStatus speechStatus() const override {
        log.push_back("speechStatus");
        return speech;
    }
    AuthorizationStatus microphoneStatus() const override {
        log.push_back("microphoneStatus");
        return microphone;
    }
    void requestSpeech() override { log.push_back("requestSpeech"); }
    void requestMicrophone() override { log.push_back("requestMicrophone"); }
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

    bool isAvailable() const override { return available; }
    bool supportsOnDeviceRecognition() const override { return onDevice; }
    std::shared_ptr<RecognitionRequest> makeRequest() override {
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
    std::shared_ptr<FakeRequest> lastRequest() const {
        std::lock_guard lock(mutex_);
        return requests_.empty() ? nullptr : requests_.back();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<FakeRequest>> requests_;
    std::vector<std::shared_ptr<FakeTask>> tasks_;
};

// Offers `locales` and hands out the recogniser configured for a locale, if any.
class FakeRecognizerFactory final : public SpeechRecognizerFactory {
public:
    std::vector<std::string> locales;
    std::map<std::string, std::shared_ptr<FakeRecognizer>> byLocale;
    std::vector<std::string> log;

    std::vector<std::string> supportedLocales() const override { return locales; }
    std::shared_ptr<SpeechRecognizer> make(const std::string& locale) override {
        log.push_back("make " + locale);
        auto it = byLocale.find(locale);
        return it == byLocale.end() ? nullptr : it->second;
    }
};

// The microphone. feed() plays the capture thread: call it from whichever thread should.
class FakeAudioInput : public AudioInput {
public:
    std::string startError; // when not empty, start() throws EngineError with this text
    std::vector<std::string> log;

    void installTap(uint32_t bufferSize, AudioTap tap) override {
        log.push_back("installTap " + std::to_string(bufferSize));
        std::lock_guard lock(mutex_);
        tap_ = std::make_shared<AudioTap>(std::move(tap));
    }
    void removeTap() override {
        log.push_back("removeTap");
        std::lock_guard lock(mutex_);
        tap_.reset();
    }
    void start() override {
        log.push_back("start");
        if (!startError.empty())
            throw EngineError(startError);
    }
    void stop() override { log.push_back("stop"); }
    void setOnInterrupted(std::function<void(std::string)> handler) override {
        onInterrupted_ = std::move(handler);
    }
    // Plays the capture thread losing the server or the device.
    void interrupt(const std::string& reason) {
        if (onInterrupted_)
            onInterrupted_(reason);
    }

    bool hasTap() const {
        std::lock_guard lock(mutex_);
        return tap_ != nullptr;
    }
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
    std::vector<Shortcut> shortcuts;                       // every bind(), in order
    ShortcutBinding answer{HotKeyRegistration::bound, ""}; // what binds answer
    bool answerLater = false;                              // true: the answer waits for answerNow()

    void bind(const Shortcut& shortcut, std::function<void(ShortcutEdge)> onEdge,
              std::function<void(ShortcutBinding)> onResult) override {
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

// A store whose every set() is logged so tests can count writes; a value of another type
// than asked for reads as absent.
class FakeDefaults final : public DefaultsStore {
public:
    using Value =
        std::variant<std::string, std::vector<std::string>, std::map<std::string, std::string>>;
    std::map<std::string, Value> values;
    std::vector<std::pair<std::string, Value>> writes;

    std::optional<std::vector<std::string>> stringArray(const std::string& key) const override {
        return get<std::vector<std::string>>(key);
    }
    std::optional<std::string> string(const std::string& key) const override {
        return get<std::string>(key);
    }
    std::optional<std::map<std::string, std::string>>
    stringMap(const std::string& key) const override {
        return get<std::map<std::string, std::string>>(key);
    }
    void set(const std::string& key, const std::string& value) override { store(key, value); }
    void set(const std::string& key, const std::vector<std::string>& value) override {
        store(key, value);
    }

private:
    template <class T> std::optional<T> get(const std::string& key) const {
        const auto it = values.find(key);
        const T* value = it == values.end() ? nullptr : std::get_if<T>(&it->second);
        return value ? std::optional<T>(*value) : std::nullopt;
    }
    void store(const std::string& key, Value value) {
        values[key] = value;
        writes.emplace_back(key, std::move(value));
    }
};

class FakeLocaleInfo final : public LocaleInfo {
public:
    std::string current = "en_US";
    std::map<std::string, std::string> names; // identifiers without an entry have no name
    std::string currentIdentifier() const override { return current; }
    std::optional<std::string> displayName(const std::string& id) const override {
        auto it = names.find(id);
        return it == names.end() ? std::nullopt : std::optional(it->second);
    }
};

class FakeTrust final : public AccessibilityTrust {
public:
    bool trusted = true;
    bool answerToPrompt = true;
    int prompts = 0;
    bool isTrusted() override { return trusted; }
    void requestTrust(std::function<void(bool)> answered) override {
        ++prompts;
        answered(answerToPrompt);
    }
    void setOnChange(std::function<void(bool)>) override {}
};

class FakeClipboard final : public Clipboard {
public:
    std::vector<std::string> writes, primaryWrites;
    void setString(const std::string& text) override { writes.push_back(text); }
    void setPrimarySelection(const std::string& text) override { primaryWrites.push_back(text); }
};

// Records each paste with the manual clock's time when it was posted.
class FakeKeyInjector final : public KeyInjector {
public:
    explicit FakeKeyInjector(const Clock& clock) : clock_(clock) {}
    struct Paste {
        PasteChord chord;
        Nanoseconds at;
        std::string clipboard; // what the target reads when the chord reaches it
    };
    const FakeClipboard* clipboard = nullptr;
    PasteChord chord = PasteChord::controlV; // what the focused application pastes with
    bool canType = true;                     // false: the keyboard has no way to type any chord
    std::vector<Paste> pastes;
    PasteChord pasteChord() override { return chord; }
    bool postPaste(PasteChord chord) override {
        if (canType)
            pastes.push_back({chord, clock_.now(),
                              clipboard && !clipboard->writes.empty() ? clipboard->writes.back()
                                                                      : std::string()});
        return canType;
    }

private:
    const Clock& clock_;
};

class FakeNotifier final : public Notifier {
public:
    struct Posted {
        std::string identifier, title, body;
    };
    int authorizationRequests = 0;
    std::vector<Posted> posted;
    void requestAuthorization() override { ++authorizationRequests; }
    void post(const std::string& id, const std::string& title, const std::string& body) override {
        posted.push_back({id, title, body});
    }
};

class FakeRunner final : public ScriptRunner {
public:
    struct Launch {
        std::string program;
        std::vector<std::string> arguments;
    };
    std::string program = "/usr/libexec/murmelin/notify";
    std::vector<Launch> launches;
    void launch(const std::string& p, const std::vector<std::string>& args) override {
        launches.push_back({p, args});
    }
    std::string notificationScriptRunner() const override { return program; }
};

class FakeLoginItem final : public LoginItem {
public:
    bool enabled = false;
    std::string failure; // what setEnabled() answers; the state then stays
    bool isEnabled() const override { return enabled; }
    std::string setEnabled(bool on) override {
        if (failure.empty())
            enabled = on;
        return failure;
    }
};

class FakeIdentity final : public AppIdentity {
public:
    std::string identifier = "org.murmelin.Murmelin";
    std::string bundleIdentifier() const override { return identifier; }
};

class FakeSettingsOpener final : public SettingsOpener {
public:
    std::vector<SettingsPane> opened;
    std::string problem; // what open() answers
    std::string open(SettingsPane pane) override {
        opened.push_back(pane);
        return problem;
    }
};

class FakeIds final : public IdentifierSource {
public:
    int issued = 0;
    std::string uuidString() override { return "uuid-" + std::to_string(++issued); }
};

// Records calls as "requestPermissions", "start:<locale>", "stop"; a test completes the stops
// in order and plays interruptions.
class FakeRecorder final : public DictationRecorder {
public:
    std::vector<std::string> calls;
    std::exception_ptr startThrows; // thrown by every start() while set
    std::function<void(float)> onLevel;
    std::function<void(std::string)> onInterrupted;
    std::vector<std::function<void(std::string)>> pending; // of stops not yet completed

    void requestPermissions() override { calls.push_back("requestPermissions"); }
    void setOnLevel(std::function<void(float)> f) override { onLevel = std::move(f); }
    void setOnInterrupted(std::function<void(std::string)> f) override {
        onInterrupted = std::move(f);
    }
    void start(const std::string& locale) override {
        calls.push_back("start:" + locale);
        if (startThrows)
            std::rethrow_exception(startThrows);
    }
    void stop(std::function<void(std::string)> done) override {
        calls.push_back("stop");
        pending.push_back(std::move(done));
    }
    void level(float value) { onLevel(value); }
    void interrupt(const std::string& reason) { onInterrupted(reason); }
    // Hands `transcript` to the oldest pending completion, once.
    void complete(const std::string& transcript) {
        if (pending.empty())
            return;
        auto done = std::move(pending.front());
        pending.erase(pending.begin());
        done(transcript);
    }
};

class FakeHotKey final : public PushToTalkKey {
public:
    std::function<void()> onPress, onRelease;
    std::function<void(const ShortcutBinding&)> onRegistration;
    int registrations = 0, retries = 0;
    void setOnPress(std::function<void()> f) override { onPress = std::move(f); }
    void setOnRelease(std::function<void()> f) override { onRelease = std::move(f); }
    void registerKey() override { ++registrations; }
    void setOnRegistration(std::function<void(const ShortcutBinding&)> f) override {
        onRegistration = std::move(f);
    }
    void retryRegistration() override { ++retries; }
    void registered(HotKeyRegistration outcome, std::string trigger = "Ctrl+Alt+Space") {
        onRegistration({outcome, std::move(trigger)});
    }
    void press() { onPress(); }
    void release() { onRelease(); }
};

// Records "place", "front" and "out" calls, the last placement and, given the model, the
// label it showed when brought to the front.
class FakePanelWindow final : public PanelWindow {
public:
    explicit FakePanelWindow(const LevelModel* model = nullptr) : model_(model) {}
    std::vector<std::string> calls;
    PanelPlacement placement;
    std::string frontLabel;
    void place(const PanelPlacement& p) override {
        calls.push_back("place");
        placement = p;
    }
    void orderFrontRegardless() override {
        calls.push_back("front");
        if (model_)
            frontLabel = model_->label.get() + " " + std::to_string(model_->level.get());
    }
    void orderOut() override { calls.push_back("out"); }

private:
    const LevelModel* model_;
};

// A panel that exists from its first show(), which also resets the label as the real one does.
class FakePanel final : public RecordingPanel {
public:
    LevelModel levelModel;
    std::unique_ptr<FakePanelWindow> window;
    int shows = 0;
    void show() override {
        ++shows;
        if (!window)
            window = std::make_unique<FakePanelWindow>();
        levelModel.label = kListeningLabel;
        window->orderFrontRegardless();
    }
    LevelModel& model() override { return levelModel; }
    PanelWindow* panel() override { return window.get(); }
};

// Every fake and a manual-clock main queue, wired into Controller::Ports.
struct ControllerRig {
    ManualClock clock;
    MainQueue queue{clock};
    FakeDefaults defaults;
    FakeRecognizerFactory recognizers;
    FakeLocaleInfo localeInfo;
    FakeTrust trust;
    std::shared_ptr<FakeRecorder> recorder = std::make_shared<FakeRecorder>();
    std::shared_ptr<FakePanel> hud = std::make_shared<FakePanel>();
    FakeHotKey hotKey;
    FakeClipboard clipboard;
    FakeKeyInjector keys{clock};
    FakeNotifier notifier;
    FakeRunner runner;
    FakeIdentity identity;
    FakeSettingsOpener settings;
    FakeIds ids;

    ControllerRig() { keys.clipboard = &clipboard; }
    Controller::Ports ports() {
        return {defaults, recognizers, localeInfo, trust,    recorder, hud, hotKey, clipboard,
                keys,     notifier,    runner,     identity, settings, ids, queue};
    }
    std::shared_ptr<Controller> make() { return Controller::make(ports()); }
};

} // namespace murmelin::testing
