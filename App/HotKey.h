#pragma once

#include "MainQueue.h"
#include "ports/Session.h"
#include "ports/Shortcuts.h"

#include <functional>
#include <memory>
#include <string>

namespace murmelin {

// The push-to-talk key Ctrl+Alt+Space. Turns the source's edges into strictly alternating
// onPress/onRelease calls on the main queue. Main thread, except the source's handlers.
class HotKey : public PushToTalkKey {
public:
    // While the shortcut is not bound, it is tried again this often.
    static constexpr double kRetrySeconds = 30;

    // What the program asks the desktop for.
    static Shortcut shortcut();

    // Both must outlive every handler that registerKey() installs.
    HotKey(HotKeySource& source, MainQueue& main);
    HotKey(const HotKey&) = delete;
    HotKey& operator=(const HotKey&) = delete;

    void setOnPress(std::function<void()> onPress) override;
    void setOnRelease(std::function<void()> onRelease) override;
    // Binds the shortcut. Each outcome reaches the registration callback as a main-queue job;
    // while it is not `bound` the binding is tried again every kRetrySeconds.
    void registerKey() override;
    void setOnRegistration(std::function<void(const ShortcutBinding&)> onRegistration) override;
    void retryRegistration() override;
    HotKeyRegistration registration() const { return state_->binding.outcome; }

private:
    void attempt();
    void scheduleRetry();

    // Held by shared_ptr so that a handler outliving this object finds it gone.
    struct State {
        std::function<void()> onPress;
        std::function<void()> onRelease;
        std::function<void(const ShortcutBinding&)> onRegistration;
        bool registered = false; // registerKey() was called
        bool isDown = false;
        ShortcutBinding binding;
        bool retryScheduled = false;
        void deliver(ShortcutEdge edge);
        void bound(const ShortcutBinding& outcome);
    };

    HotKeySource& source_;
    MainQueue& main_;
    std::shared_ptr<State> state_;
};

} // namespace murmelin
