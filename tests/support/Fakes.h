#pragma once

// Fakes of the ports that record what happened, for unit tests of the controller, the menu
// and anything else that talks to the desktop through App/ports.

#include "Controller.h"
#include "HUD.h"
#include "MainQueue.h"
#include "ports/Defaults.h"
#include "ports/Desktop.h"
#include "ports/Locales.h"
#include "ports/Screens.h"
#include "ports/Session.h"
#include "ports/Speech.h"

#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace murmelin::testing {

// A store whose values may be of any of the types a real file could hold; every set() is
// logged so tests can count writes.
class FakeDefaults final : public DefaultsStore {
public:
    using Value = std::variant<std::string, std::vector<std::string>, double,
                               std::map<std::string, std::string>>;
    std::map<std::string, Value> values;
    std::vector<std::pair<std::string, Value>> writes;

    std::optional<std::vector<std::string>> stringArray(const std::string& key) const override {
        auto it = values.find(key);
        if (it == values.end())
            return std::nullopt;
        if (auto* v = std::get_if<std::vector<std::string>>(&it->second))
            return *v;
        return std::nullopt;
    }
    std::optional<std::string> string(const std::string& key) const override {
        auto it = values.find(key);
        if (it == values.end())
            return std::nullopt;
        if (auto* v = std::get_if<std::string>(&it->second))
            return *v;
        return std::nullopt;
    }
    std::optional<std::map<std::string, std::string>>
    stringMap(const std::string& key) const override {
        auto it = values.find(key);
        if (it == values.end())
            return std::nullopt;
        if (auto* v = std::get_if<std::map<std::string, std::string>>(&it->second))
            return *v;
        return std::nullopt;
    }
    void set(const std::string& key, const std::string& value) override { store(key, value); }
    void set(const std::string& key, const std::vector<std::string>& value) override {
        store(key, value);
    }

private:
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

class FakeRecognizerFactory final : public SpeechRecognizerFactory {
public:
    std::vector<std::string> locales;
    std::vector<std::string> supportedLocales() const override { return locales; }
    std::shared_ptr<SpeechRecognizer> make(const std::string&) override { return nullptr; }
};

class FakeTrust final : public AccessibilityTrust {
public:
    bool trusted = true;
    bool answerToPrompt = true;
    int checks = 0, prompts = 0;
    std::function<void(bool)> onChange;
    bool isTrusted() override { return ++checks, trusted; }
    void requestTrust(std::function<void(bool)> answered) override {
        ++prompts;
        answered(answerToPrompt);
    }
    void setOnChange(std::function<void(bool)> f) override { onChange = std::move(f); }
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
    void level(float value) {
        if (onLevel)
            onLevel(value);
    }
    void interrupt(const std::string& reason) {
        if (onInterrupted)
            onInterrupted(reason);
    }
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
        if (onRegistration)
            onRegistration({outcome, std::move(trigger)});
    }
    void press() {
        if (onPress)
            onPress();
    }
    void release() {
        if (onRelease)
            onRelease();
    }
};

// Records "place", "front" and "out" calls, and the last placement.
class FakePanelWindow final : public PanelWindow {
public:
    std::vector<std::string> calls;
    PanelPlacement placement;
    void place(const PanelPlacement& p) override {
        calls.push_back("place");
        placement = p;
    }
    void orderFrontRegardless() override { calls.push_back("front"); }
    void orderOut() override { calls.push_back("out"); }
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
