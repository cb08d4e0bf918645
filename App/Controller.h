#pragma once

#include "MainQueue.h"
#include "Observable.h"
#include "PasteQueue.h"
#include "ports/Defaults.h"
#include "ports/Desktop.h"
#include "ports/Locales.h"
#include "ports/Session.h"
#include "ports/Speech.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace murmelin {

// Holds the dictation state and the two settings, runs press → release → delivery.
// Everything here runs on the main thread.
class Controller : public ObservableObject, public std::enable_shared_from_this<Controller> {
public:
    // The collaborators. References must outlive the controller.
    struct Ports {
        DefaultsStore& defaults;
        SpeechRecognizerFactory& recognizers; // supported locales
        LocaleInfo& localeInfo;
        AccessibilityTrust& trust;
        std::shared_ptr<DictationRecorder> recorder;
        std::shared_ptr<RecordingPanel> hud;
        PushToTalkKey& hotKey;
        Clipboard& clipboard;
        KeyInjector& keys;
        Notifier& notifier;
        ScriptRunner& runner;
        AppIdentity& identity;
        SettingsOpener& settings;
        IdentifierSource& ids;
        MainQueue& main;
    };

    static std::shared_ptr<Controller> make(Ports ports);

    // Published state, in declaration order.
    Published<std::vector<std::string>> history;
    Published<std::string> localeID; // assignment persists it under "locale"
    Published<bool> recording;
    Published<bool> trusted;
    // Whether the push-to-talk key is registered; `pending` until the first outcome.
    Published<HotKeyRegistration> hotKeyRegistration;
    // The keys that dictate, as the desktop gave them.
    Published<std::string> hotKeyTrigger;
    // The description of the last error the user was notified of; "" again after the next
    // delivered dictation.
    Published<std::string> lastError;

    const std::vector<std::string>& locales() const { return locales_; }
    LocaleInfo& localeInfo() const { return ports_.localeInfo; }

    void start();
    void openSettings(const std::string& anchor);
    void promptAccessibility();
    // Tries the push-to-talk key again when another program held it (the menu is opening).
    void retryHotKey();
    // Tells the user of a failure outside dictation (a menu action's), as any error is told.
    void reportError(const std::string& problem);

    explicit Controller(Ports ports); // use make()

    // Class-level: a paste holds no controller state. Answers false when the chord could not
    // be typed at all.
    static bool pasteCommandV(KeyInjector& keys, Clipboard& clipboard, const std::string& text);

private:
    void beginRecording();
    void endRecording();
    void completed(const std::string& transcript);
    void interrupted(const std::string& reason);
    void deliver(const std::string& text);
    void notify(const std::string& title, const std::string& body);
    void hotKeyRegistered(const ShortcutBinding& binding);
    std::string locale() const;

    Ports ports_;
    std::vector<std::string> locales_;
    std::shared_ptr<PasteQueue> pastes_;
    bool started_ = false;
};

// Told to the user when the push-to-talk key `trigger` cannot be bound; "" when it is.
std::string hotKeyProblem(HotKeyRegistration registration, const std::string& trigger);

inline constexpr const char* kHistoryKey = "history";
inline constexpr const char* kLocaleKey = "locale";
inline constexpr std::size_t kHistoryLimit = 10;

// Locale identifiers sorted by display name: NFC, then code point by code point.
std::vector<std::string> sortLocales(std::vector<std::string> identifiers, const LocaleInfo& info);
// The locale a dictation records in, from the chosen identifier and the offered list.
std::string resolveLocale(const std::string& localeID, const std::vector<std::string>& locales);
// The notification body when capture ends before the release; `reason` is a sentence.
std::string cutShortMessage(const std::string& reason);
// Escapes a text for a double-quoted script string: \ → \\, then " → \".
std::string escapeForScript(const std::string& text);
// The fallback route's script: display notification "B" with title "T".
std::string notificationScript(const std::string& title, const std::string& body);

} // namespace murmelin
