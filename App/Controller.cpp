#include "Controller.h"

#include "HUD.h"
#include "TextCleaner.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <exception>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace murmelin {

namespace {

constexpr const char* kErrorTitle = "Murmelin";
constexpr const char* kCopiedTitle = "Copied to clipboard";
constexpr const char* kFallbackLocale = "en-US";

// WM_CLASS class names (compared without regard to ASCII case) of terminal emulators that
// paste the clipboard with Control+Shift+V. In them Control+V would insert a literal ^V.
// st pastes with Control+Shift+V by default and reports its terminal name as class.
// Deliberately absent, so they keep Control+V: xterm/uxterm and rxvt/urxvt paste with
// neither chord by default (Shift+Insert pastes the primary selection), so no chord helps
// there and the text stays on the clipboard.
// clang-format off
constexpr std::array<std::string_view, 36> kControlShiftVTerminals = {
    "gnome-terminal", "gnome-terminal-server", "xfce4-terminal", "lxterminal", "konsole",
    "yakuake", "tilix", "terminator", "mate-terminal", "qterminal", "alacritty", "kitty",
    "org.wezfurlong.wezterm", "wezterm", "foot", "footclient", "terminology", "sakura", "guake",
    "tilda", "deepin-terminal", "cool-retro-term", "kgx", "org.gnome.console", "org.gnome.ptyxis",
    "ptyxis", "com.raggesilver.blackbox", "roxterm", "termite", "hyper", "tabby", "ghostty",
    "com.mitchellh.ghostty", "st", "st-256color", "contour",
};
// clang-format on

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) {
               return lower(static_cast<unsigned char>(x)) == lower(static_cast<unsigned char>(y));
           });
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A link the desktop can open: a scheme (a letter, then letters, digits, "+", "-", ".")
// and ":", then only printable ASCII without space or the characters URLs never carry
// unencoded ("<>\"\\^`{|}"), and every "%" starting a two-digit hex escape.
bool formsValidURL(std::string_view link) {
    auto colon = link.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!isAlpha(link[0]))
        return false;
    for (char c : link.substr(0, colon)) {
        if (!isAlpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.')
            return false;
    }
    for (std::size_t i = colon + 1; i < link.size(); ++i) {
        auto c = static_cast<unsigned char>(link[i]);
        if (c <= 0x20 || c >= 0x7F)
            return false;
        if (std::string_view("<>\"\\^`{|}").find(static_cast<char>(c)) != std::string_view::npos)
            return false;
        if (c == '%' &&
            !(i + 2 < link.size() && isHexDigit(link[i + 1]) && isHexDigit(link[i + 2])))
            return false;
    }
    return true;
}

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

std::function<std::shared_ptr<Controller>()>& sharedFactory() {
    static std::function<std::shared_ptr<Controller>()> factory;
    return factory;
}

} // namespace

std::shared_ptr<Controller> Controller::make(Ports ports) {
    return std::make_shared<Controller>(std::move(ports));
}

void Controller::setSharedFactory(std::function<std::shared_ptr<Controller>()> factory) {
    sharedFactory() = std::move(factory);
}

Controller& Controller::shared() {
    // Created on first access and never released, like the process it serves.
    static std::shared_ptr<Controller> instance = [] {
        if (!sharedFactory())
            throw std::logic_error("Controller::shared() before its factory");
        return sharedFactory()();
    }();
    return *instance;
}

// Creation reads both settings and writes neither; it asks for nothing and shows nothing.
Controller::Controller(Ports ports)
    : history(*this, ports.defaults.stringArray(kHistoryKey).value_or(std::vector<std::string>{})),
      localeID(*this,
               ports.defaults.string(kLocaleKey).value_or(ports.localeInfo.currentIdentifier()),
               [this](const std::string& id) { ports_.defaults.set(kLocaleKey, id); }),
      recording(*this, false), trusted(*this, ports.trust.isTrusted()),
      hotKeyRegistration(*this, HotKeyRegistration::pending), lastError(*this, std::string()),
      ports_(std::move(ports)),
      locales_(sortLocales(ports_.recognizers.supportedLocales(), ports_.localeInfo)) {}

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
    ports_.hotKey.setOnPress([weak] {
        if (auto self = weak.lock())
            self->beginRecording();
    });
    ports_.hotKey.setOnRelease([weak] {
        if (auto self = weak.lock())
            self->endRecording();
    });
    ports_.hotKey.setOnRegistration([weak](HotKeyRegistration outcome) {
        if (auto self = weak.lock())
            self->hotKeyRegistered(outcome);
    });
    ports_.hotKey.registerKey();
}

void Controller::hotKeyRegistered(HotKeyRegistration outcome) {
    // Retries that fail alike change nothing and are not told again (nor rebuild the menu
    // that may be opening).
    if (outcome == hotKeyRegistration.get())
        return;
    hotKeyRegistration = outcome;
    const std::string problem = hotKeyProblem(outcome);
    if (!problem.empty())
        notify(kErrorTitle, problem);
    else if (lastError.get() == hotKeyProblem(HotKeyRegistration::taken) ||
             lastError.get() == hotKeyProblem(HotKeyRegistration::unavailable))
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
    if (PanelWindow* panel = ports_.hud->panel())
        panel->orderOut();
    std::string cleaned = TextCleaner::clean(transcript);
    if (!cleaned.empty())
        deliver(cleaned);
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
    ports_.clipboard.setString(text);
    trusted = ports_.trust.isTrusted();
    if (trusted) {
        // Refers to no controller state: it runs even if a new dictation begins meanwhile.
        KeyInjector& keys = ports_.keys;
        ports_.main.asyncAfter(kPasteDelaySeconds, [&keys] { pasteCommandV(keys); });
        return;
    }
    notify(kCopiedTitle, text);
}

void Controller::pasteCommandV(KeyInjector& keys) {
    // The window is sampled when the paste runs: that is the one that receives it.
    keys.postPaste(pasteChordFor(keys.focusedWindowClass()));
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
    std::string link = ports_.settings.settingsLinkPrefix() + anchor;
    if (!formsValidURL(link))
        return;
    if (std::string problem = ports_.settings.open(link); !problem.empty())
        notify(kErrorTitle, problem);
}

void Controller::promptAccessibility() {
    trusted = ports_.trust.isTrustedPrompting();
}

std::string Controller::locale() const {
    return resolveLocale(localeID, locales_);
}

std::string hotKeyProblem(HotKeyRegistration registration) {
    switch (registration) {
    case HotKeyRegistration::taken:
        return "Control+Alt+Space is taken by another program, so dictation cannot start. "
               "Murmelin tries again every 30 seconds and when its menu opens.";
    case HotKeyRegistration::unavailable:
        return "Control+Alt+Space cannot be registered: there is no X display or no Space key.";
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

PasteChord pasteChordFor(const std::string& windowClass) {
    for (std::string_view terminal : kControlShiftVTerminals) {
        if (equalsIgnoringAsciiCase(windowClass, terminal))
            return PasteChord::controlShiftV;
    }
    return PasteChord::controlV;
}

} // namespace murmelin
