#pragma once

#include <functional>
#include <string>
#include <vector>

namespace murmelin {

// The general clipboard. Main thread.
class Clipboard {
public:
    virtual ~Clipboard() = default;
    // Clears what was there and makes `text` the plain-text content.
    virtual void setString(const std::string& text) = 0;
    // Makes `text` the primary selection too: what Shift+Insert pastes in X terminals.
    virtual void setPrimarySelection(const std::string& text) = 0;
};

// Which key chord pastes into the focused application.
enum class PasteChord { controlV, controlShiftV, shiftInsert };

// Synthetic key events into the application that has keyboard focus. Main thread.
class KeyInjector {
public:
    virtual ~KeyInjector() = default;
    // The chord that pastes into the application that receives typed keys now: the adapter
    // knows how its desktop names that application, and keeps the table of chords (which the
    // user extends under the settings key "pasteChords").
    virtual PasteChord pasteChord() = 0;
    // One key-down and key-up of the chord's key with exactly its modifiers: modifiers the user
    // holds at that moment must not reach the target. Answers false, having sent nothing, when
    // the keyboard cannot type the chord at all (no layout group has the key, no spare key code
    // to bind it to); a paste that is sent or queued answers true.
    virtual bool postPaste(PasteChord chord) = 0;
};

// Whether this process may inject key events into other applications. Main thread; the
// handlers are called on the main thread too.
class AccessibilityTrust {
public:
    virtual ~AccessibilityTrust() = default;
    virtual bool isTrusted() = 0;
    // Asks, with whatever consent dialog the desktop offers; `answered` gets the outcome once,
    // at once or much later (the user may take their time).
    virtual void requestTrust(std::function<void(bool trusted)> answered) = 0;
    // Called whenever trust changes without being asked (consent withdrawn, a session lost).
    virtual void setOnChange(std::function<void(bool trusted)> onChange) = 0;
};

// Desktop notifications for a program with an application identity. Main thread; never waits.
class Notifier {
public:
    virtual ~Notifier() = default;
    virtual void requestAuthorization() = 0;
    virtual void post(const std::string& identifier, const std::string& title,
                      const std::string& body) = 0;
};

// Starts a program directly (no shell) without waiting. A failure to start is ignored.
class ScriptRunner {
public:
    virtual ~ScriptRunner() = default;
    virtual void launch(const std::string& program, const std::vector<std::string>& arguments) = 0;
    // The program that runs notification scripts of the fallback route.
    virtual std::string notificationScriptRunner() const = 0;
};

// The identity under which the desktop knows the program; "" when it has none
// (for example when it runs from the build tree).
class AppIdentity {
public:
    virtual ~AppIdentity() = default;
    virtual std::string bundleIdentifier() const = 0;
};

// The privacy settings the menu offers to open.
enum class SettingsPane { microphone, speechRecognition };

// Opens the desktop's settings for a privacy pane. Main thread.
class SettingsOpener {
public:
    virtual ~SettingsOpener() = default;
    // "" when something was opened; otherwise a sentence for the user saying why nothing
    // opened and what to install.
    virtual std::string open(SettingsPane pane) = 0;
};

// Fresh identifiers for notification requests.
class IdentifierSource {
public:
    virtual ~IdentifierSource() = default;
    virtual std::string uuidString() = 0;
};

} // namespace murmelin
