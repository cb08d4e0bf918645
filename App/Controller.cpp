#include "Controller.h"

#include "HUD.h"
#include "HotKey.h"
#include "TextCleaner.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace murmelin {

namespace {

constexpr const char* kErrorTitle = "Murmelin";
constexpr const char* kCopiedTitle = "Copied to clipboard";
constexpr const char* kFallbackLocale = "en-US";

std::string normalizedNFC(const std::string& text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status))
        return text;
    icu::UnicodeString normalized = nfc->normalize(icu::UnicodeString::fromUTF8(text), status);
    if (U_FAILURE(status))
        return text;
    std::string out;
    normalized.toUTF8String(out);
    return out;
}

std::string withHyphens(std::string id) {
    std::replace(id.begin(), id.end(), '_', '-');
    return id;
}

} // namespace

std::shared_ptr<Controller> Controller::make(Ports ports) {
    return std::make_shared<Controller>(std::move(ports));
}

// Creation reads both settings and writes neither; it asks for nothing and shows nothing.
Controller::Controller(Ports ports)
    : history(*this, ports.defaults.stringArray(kHistoryKey).value_or(std::vector<std::string>{})),
      localeID(*this,
               ports.defaults.string(kLocaleKey).value_or(ports.localeInfo.currentIdentifier()),
               [this](const std::string& id) { ports_.defaults.set(kLocaleKey, id); }),
      recording(*this, false), trusted(*this, ports.trust.isTrusted()),
      hotKeyRegistration(*this, HotKeyRegistration::pending),
      hotKeyTrigger(*this, HotKey::shortcut().preferredTrigger), lastError(*this, std::string()),
      ports_(std::move(ports)),
      locales_(sortLocales(ports_.recognizers.supportedLocales(), ports_.localeInfo)),
      pastes_(PasteQueue::make(ports_.keys, ports_.clipboard, ports_.main)) {}

void Controller::start() {
    if (started_)
        return;
    started_ = true;
    ports_.recorder->requestPermissions();
    if (!ports_.identity.bundleIdentifier().empty())
        ports_.notifier.requestAuthorization();

    // The recorder and the key hold us weakly: no ownership cycle, and a callback that
    // fires after we are gone does nothing.
    std::weak_ptr<Controller> weak = weak_from_this();
    ports_.recorder->setOnLevel([weak](float level) {
        // A buffer flushed by the release reports late: after release the meter stays at 0.
        if (auto self = weak.lock(); self && self->recording)
            self->ports_.hud->model().level = static_cast<double>(level);
    });
    ports_.recorder->setOnInterrupted([weak](std::string reason) {
        if (auto self = weak.lock())
            self->interrupted(reason);
    });
    ports_.hotKey.setOnPress([weak] {
        if (auto self = weak.lock()) {
            self->pastes_->setHeld(true);
            self->beginRecording();
        }
    });
    ports_.hotKey.setOnRelease([weak] {
        if (auto self = weak.lock()) {
            self->endRecording();
            self->pastes_->setHeld(false);
        }
    });
    ports_.hotKey.setOnRegistration([weak](const ShortcutBinding& binding) {
        if (auto self = weak.lock())
            self->hotKeyRegistered(binding);
    });
    ports_.trust.setOnChange([weak](bool trusted) {
        if (auto self = weak.lock())
            self->trusted = trusted;
    });
    ports_.hotKey.registerKey();
}

void Controller::hotKeyRegistered(const ShortcutBinding& binding) {
    // Retries that fail alike change nothing and are not told again (nor rebuild the menu
    // that may be opening).
    if (binding.outcome == hotKeyRegistration.get() && binding.trigger == hotKeyTrigger.get())
        return;
    const std::string before = hotKeyProblem(hotKeyRegistration, hotKeyTrigger);
    hotKeyRegistration = binding.outcome;
    hotKeyTrigger = binding.trigger;
    const std::string problem = hotKeyProblem(binding.outcome, binding.trigger);
    if (!problem.empty())
        notify(kErrorTitle, problem);
    else if (!before.empty() && lastError.get() == before)
        lastError = std::string();
}

void Controller::retryHotKey() {
    ports_.hotKey.retryRegistration();
}

void Controller::beginRecording() {
    if (recording)
        return;
    try {
        ports_.recorder->start(locale());
    } catch (const std::exception& error) {
        notify(kErrorTitle, error.what());
        return;
    }
    recording = true;
    ports_.hud->show();
}

void Controller::endRecording() {
    if (!recording)
        return;
    recording = false;
    ports_.hud->model().label = kTranscribingLabel;
    ports_.hud->model().level = 0.0;
    std::weak_ptr<Controller> weak = weak_from_this();
    ports_.recorder->stop([weak](std::string transcript) {
        if (auto self = weak.lock())
            self->completed(transcript);
    });
}

void Controller::completed(const std::string& transcript) {
    // An earlier dictation may complete while the next one records: its panel stays.
    if (PanelWindow* panel = ports_.hud->panel(); panel && !recording)
        panel->orderOut();
    std::string cleaned = TextCleaner::clean(transcript);
    if (!cleaned.empty())
        deliver(cleaned);
}

void Controller::interrupted(const std::string& reason) {
    // Told at once, so that the user stops speaking; the release still delivers what was
    // heard up to here.
    ports_.hud->model().level = 0.0;
    notify(kErrorTitle, cutShortMessage(reason));
}

void Controller::deliver(const std::string& text) {
    if (!lastError->empty())
        lastError = std::string();
    std::vector<std::string> entries = history;
    entries.insert(entries.begin(), text);
    history = std::move(entries);
    if (history->size() > kHistoryLimit) {
        history = std::vector<std::string>(history->begin(), history->begin() + kHistoryLimit);
    }
    ports_.defaults.set(kHistoryKey, history.get());
    // A paste still due keeps its own text on the clipboard; this one follows in turn.
    const bool pasteDue = !pastes_->idle();
    if (!pasteDue)
        ports_.clipboard.setString(text);
    trusted = ports_.trust.isTrusted();
    if (trusted) {
        // Only telling the user that nothing could be typed needs the controller.
        pastes_->add(text, [weak = weak_from_this()](const std::string& failed) {
            if (auto self = weak.lock())
                self->notify(kCopiedTitle, failed);
        });
        return;
    }
    if (pasteDue) // nothing will put it there in turn
        ports_.clipboard.setString(text);
    notify(kCopiedTitle, text);
}

bool Controller::pasteCommandV(KeyInjector& keys, Clipboard& clipboard, const std::string& text) {
    // The application is sampled when the paste runs: that is the one that receives it.
    const PasteChord chord = keys.pasteChord();
    if (chord == PasteChord::shiftInsert)
        clipboard.setPrimarySelection(text); // what xterm and urxvt paste with it
    return keys.postPaste(chord);
}

void Controller::notify(const std::string& title, const std::string& body) {
    if (title == kErrorTitle)
        lastError = body;
    if (!ports_.identity.bundleIdentifier().empty()) {
        ports_.notifier.post(ports_.ids.uuidString(), title, body);
        return;
    }
    ports_.runner.launch(ports_.runner.notificationScriptRunner(),
                         {"-e", notificationScript(title, body)});
}

void Controller::openSettings(const std::string& anchor) {
    // The anchors of the privacy settings; any other opens nothing.
    SettingsPane pane;
    if (anchor == "Privacy_Microphone")
        pane = SettingsPane::microphone;
    else if (anchor == "Privacy_SpeechRecognition")
        pane = SettingsPane::speechRecognition;
    else
        return;
    if (std::string problem = ports_.settings.open(pane); !problem.empty())
        notify(kErrorTitle, problem);
}

void Controller::reportError(const std::string& problem) {
    notify(kErrorTitle, problem);
}

void Controller::promptAccessibility() {
    ports_.trust.requestTrust([weak = weak_from_this()](bool answer) {
        if (auto self = weak.lock())
            self->trusted = answer;
    });
}

std::string Controller::locale() const {
    return resolveLocale(localeID, locales_);
}

std::string hotKeyProblem(HotKeyRegistration registration, const std::string& trigger) {
    switch (registration) {
    case HotKeyRegistration::taken:
        return trigger + " is taken by another program, so dictation cannot start. "
                         "Murmelin tries again every 30 seconds and when its menu opens.";
    case HotKeyRegistration::unavailable:
        return trigger + " cannot be registered: the desktop offers no way to bind it, or "
                         "there is no such key.";
    default:
        return {};
    }
}

std::vector<std::string> sortLocales(std::vector<std::string> identifiers, const LocaleInfo& info) {
    std::vector<std::pair<std::string, std::string>> named; // (NFC display name, identifier)
    named.reserve(identifiers.size());
    for (auto& id : identifiers) {
        named.emplace_back(normalizedNFC(info.displayName(id).value_or(id)), std::move(id));
    }
    // UTF-8 byte order is code point order (std::string compares bytes as unsigned char);
    // UTF-16 code unit order would differ for scalars above U+FFFF.
    std::stable_sort(named.begin(), named.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> sorted;
    sorted.reserve(named.size());
    for (auto& entry : named)
        sorted.push_back(std::move(entry.second));
    return sorted;
}

std::string resolveLocale(const std::string& localeID, const std::vector<std::string>& locales) {
    for (const auto& id : locales) {
        if (id == localeID)
            return id;
    }
    const std::string wanted = withHyphens(localeID);
    for (const auto& id : locales) {
        if (withHyphens(id) == wanted)
            return id;
    }
    return kFallbackLocale;
}

std::string cutShortMessage(const std::string& reason) {
    std::string message = "The recording was cut short.";
    if (!reason.empty()) {
        message += " " + reason;
        if (std::string_view(".!?").find(reason.back()) == std::string_view::npos)
            message += '.';
    }
    return message + " What you said before that is kept.";
}

std::string escapeForScript(const std::string& text) {
    // One pass per character: a backslash added for a quote is never seen again, so it is
    // not doubled, just as if backslashes were replaced first and quotes after.
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        if (c == '\\' || c == '"')
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

std::string notificationScript(const std::string& title, const std::string& body) {
    return "display notification \"" + escapeForScript(body) + "\" with title \"" +
           escapeForScript(title) + "\"";
}

} // namespace murmelin
