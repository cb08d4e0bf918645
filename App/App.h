#pragma once

#include "Controller.h"
#include "MainQueue.h"
#include "Observable.h"
#include "ports/Desktop.h"
#include "ports/StatusItem.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace murmelin {

inline constexpr std::size_t kHistoryLabelLength = 60;

// A history row's menu label: line feeds become spaces, then the first 60 user-perceived
// characters, with "…" when the item is longer.
std::string historyRowLabel(const std::string& item);

// The status item's icon for the controller's recording flag.
StatusIcon statusIcon(bool recording);

// The menu's first line: the usage hint, or why the key does not work.
std::string hotKeyHint(HotKeyRegistration registration, const std::string& trigger);

// The status item's tool tip: the program's name, and the last error while there is one.
std::string statusToolTip(const std::string& lastError);

// The row of `locales` that stands for `localeID`: the same identifier, else the first one
// that differs only in "_" against "-" ("en_US" is "en-US"); nothing when none matches.
std::optional<std::string> chosenLocaleRow(const std::string& localeID,
                                           const std::vector<std::string>& locales);

// The status item's menu, computed afresh from the controller's current values.
// Main thread. All references must outlive the menu and the actions it hands out.
class MenuContent {
public:
    // Without a `loginItem` the menu has no "Start at Login" entry.
    MenuContent(Controller& c, Clipboard& clipboard, StatusItemHost& host,
                const Translator& translator, LoginItem* loginItem = nullptr)
        : c_(c), clipboard_(clipboard), host_(host), tr_(translator), login_(loginItem) {}

    std::vector<MenuItem> items() const;

private:
    std::string text(const char* key) const { return tr_.translate(key); }

    Controller& c_;
    Clipboard& clipboard_;
    StatusItemHost& host_;
    const Translator& tr_;
    LoginItem* login_;
};

// Starts the controller once launching has finished, as a job of its own. Main thread.
class AppDelegate {
public:
    AppDelegate(Controller& c, MainQueue& main) : c_(c), main_(main) {}
    // Returns at once; start() runs later on the main queue.
    void applicationDidFinishLaunching();

private:
    Controller& c_;
    MainQueue& main_;
};

// The application: the status item with its icon and menu, kept in step with the
// controller, and the delegate. Main thread. References must outlive it.
class MurmelinApp {
public:
    struct Ports {
        Controller& controller;
        StatusItemHost& host;
        Clipboard& clipboard;
        const Translator& translator;
        MainQueue& main;
        LoginItem* loginItem = nullptr;
    };
    // Shows the status item with its icon and menu at once.
    explicit MurmelinApp(Ports ports);
    ~MurmelinApp();
    MurmelinApp(const MurmelinApp&) = delete;
    MurmelinApp& operator=(const MurmelinApp&) = delete;

    AppDelegate& delegate() { return delegate_; }

private:
    void scheduleRebuild();
    void rebuild();

    AppDelegate delegate_;
    Ports ports_;
    MenuContent menu_;
    Subscription subscription_;
    bool rebuildPending_ = false;
    // Queued rebuilds check this so that they do nothing once the app is gone.
    std::shared_ptr<MurmelinApp*> self_;
};

} // namespace murmelin
