#include "App.h"

#include <unicode/brkiter.h>
#include <unicode/utext.h>

#include <algorithm>

namespace murmelin {

namespace {

struct UTextCloser {
    void operator()(UText* t) const { utext_close(t); }
};

// Byte offset after the first `count` grapheme clusters of `text`, or nothing when the
// text has no more than `count` of them.
std::optional<std::size_t> graphemePrefixEnd(const std::string& text, std::size_t count) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UText, UTextCloser> utext(
        utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status));
    std::unique_ptr<icu::BreakIterator> breaks(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status))
        return std::nullopt;
    breaks->setText(utext.get(), status);
    if (U_FAILURE(status))
        return std::nullopt;
    int32_t boundary = breaks->first();
    for (std::size_t seen = 0; seen < count; ++seen) {
        boundary = breaks->next();
        if (boundary == icu::BreakIterator::DONE)
            return std::nullopt;
    }
    // With a UTF-8 UText the boundaries are byte offsets.
    if (breaks->next() == icu::BreakIterator::DONE)
        return std::nullopt;
    return static_cast<std::size_t>(boundary);
}

MenuItem textItem(std::string title) {
    MenuItem item;
    item.kind = MenuItem::Kind::text;
    item.title = std::move(title);
    return item;
}

MenuItem separator() {
    MenuItem item;
    item.kind = MenuItem::Kind::separator;
    return item;
}

MenuItem button(std::string title, std::function<void()> action, std::string shortcut = {}) {
    MenuItem item;
    item.kind = MenuItem::Kind::button;
    item.title = std::move(title);
    item.action = std::move(action);
    item.shortcut = std::move(shortcut);
    return item;
}

} // namespace

std::string historyRowLabel(const std::string& item) {
    std::string label = item;
    std::replace(label.begin(), label.end(), '\n', ' ');
    if (auto end = graphemePrefixEnd(label, kHistoryLabelLength)) {
        label.resize(*end);
        label += "…";
    }
    return label;
}

StatusIcon statusIcon(bool recording) {
    return recording ? StatusIcon::micFill : StatusIcon::mic;
}

std::string hotKeyHint(HotKeyRegistration registration, const std::string& trigger) {
    switch (registration) {
    case HotKeyRegistration::taken:
        return trigger + " is taken by another program";
    case HotKeyRegistration::unavailable:
        return trigger + " is not available";
    default:
        return "Hold " + trigger + " to dictate";
    }
}

std::string statusToolTip(const std::string& lastError) {
    return lastError.empty() ? "Murmelin" : "Murmelin: " + lastError;
}

std::optional<std::string> chosenLocaleRow(const std::string& localeID,
                                           const std::vector<std::string>& locales) {
    auto hyphens = [](std::string id) {
        std::replace(id.begin(), id.end(), '_', '-');
        return id;
    };
    for (const std::string& id : locales)
        if (id == localeID)
            return id;
    for (const std::string& id : locales)
        if (hyphens(id) == hyphens(localeID))
            return id;
    return std::nullopt;
}

std::vector<MenuItem> MenuContent::items() const {
    std::vector<MenuItem> items;
    items.push_back(textItem(text(hotKeyHint(c_.hotKeyRegistration, c_.hotKeyTrigger).c_str())));
    items.push_back(separator());
    const std::vector<std::string>& history = c_.history;
    if (history.empty())
        items.push_back(textItem(text("No transcripts yet")));
    for (const std::string& entry : history) {
        Clipboard* clipboard = &clipboard_;
        items.push_back(
            button(historyRowLabel(entry), [clipboard, entry] { clipboard->setString(entry); }));
    }
    items.push_back(separator());

    MenuItem language;
    language.kind = MenuItem::Kind::submenu;
    language.title = text("Language");
    Controller* c = &c_;
    const std::optional<std::string> chosen = chosenLocaleRow(c_.localeID, c_.locales());
    for (const std::string& id : c_.locales()) {
        MenuItem row =
            button(c_.localeInfo().displayName(id).value_or(id), [c, id] { c->localeID = id; });
        row.checkable = true;
        row.checked = id == chosen;
        language.children.push_back(std::move(row));
    }
    items.push_back(std::move(language));
    items.push_back(separator());

    if (!c_.trusted) {
        items.push_back(
            button(text("Grant Accessibility for Auto-Paste…"), [c] { c->promptAccessibility(); }));
    }
    items.push_back(
        button(text("Microphone Settings…"), [c] { c->openSettings("Privacy_Microphone"); }));
    items.push_back(button(text("Speech Recognition Settings…"),
                           [c] { c->openSettings("Privacy_SpeechRecognition"); }));
    if (login_) {
        // Shows the desktop's autostart folder as it is now. The action reads it again: the
        // menu is not rebuilt after a change that worked (the toolkit moves the check mark),
        // and after one that failed the error rebuilds it with the state that stayed.
        const bool enabled = login_->isEnabled();
        MenuItem login = button(text("Start at Login"), [c, item = login_] {
            if (std::string problem = item->setEnabled(!item->isEnabled()); !problem.empty())
                c->reportError(problem);
        });
        login.toggle = true;
        login.checked = enabled;
        items.push_back(std::move(login));
    }
    items.push_back(separator());
    StatusItemHost* host = &host_;
    items.push_back(button(
        text("Quit Murmelin"), [host] { host->terminate(); }, "Ctrl+Q"));
    return items;
}

void AppDelegate::applicationDidFinishLaunching() {
    Controller* c = &c_;
    main_.async([c] { c->start(); });
}

MurmelinApp::MurmelinApp(Ports ports)
    : delegate_(ports.controller, ports.main), ports_(ports),
      menu_(ports.controller, ports.clipboard, ports.host, ports.translator, ports.loginItem),
      self_(std::make_shared<MurmelinApp*>(this)) {
    rebuild();
    Controller* c = &ports_.controller;
    ports_.host.setOnMenuOpen([c] { c->retryHotKey(); });
    // The signal fires before the new value is stored: read the values in a later job.
    subscription_ = ports_.controller.objectWillChange.subscribe([this] { scheduleRebuild(); });
}

MurmelinApp::~MurmelinApp() {
    *self_ = nullptr;
    ports_.host.setOnMenuOpen({});
}

void MurmelinApp::scheduleRebuild() {
    if (rebuildPending_)
        return;
    rebuildPending_ = true;
    std::weak_ptr<MurmelinApp*> weak = self_;
    ports_.main.async([weak] {
        if (auto self = weak.lock(); self && *self) {
            (*self)->rebuildPending_ = false;
            (*self)->rebuild();
        }
    });
}

void MurmelinApp::rebuild() {
    ports_.host.setIcon(statusIcon(ports_.controller.recording));
    ports_.host.setMenu(menu_.items());
    ports_.host.setToolTip(statusToolTip(ports_.controller.lastError));
}

} // namespace murmelin
