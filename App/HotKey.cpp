#include "HotKey.h"

#include <utility>

namespace murmelin {

Shortcut HotKey::shortcut() {
    return {"dictate", "Hold to dictate", "Ctrl+Alt+Space"};
}

HotKey::HotKey(HotKeySource& source, MainQueue& main)
    : source_(source), main_(main), state_(std::make_shared<State>()) {
    state_->binding.trigger = shortcut().preferredTrigger;
}

void HotKey::setOnPress(std::function<void()> onPress) {
    state_->onPress = std::move(onPress);
}

void HotKey::setOnRelease(std::function<void()> onRelease) {
    state_->onRelease = std::move(onRelease);
}

void HotKey::registerKey() {
    state_->registered = true;
    attempt();
}

void HotKey::setOnRegistration(std::function<void(const ShortcutBinding&)> onRegistration) {
    state_->onRegistration = std::move(onRegistration);
}

void HotKey::retryRegistration() {
    if (state_->registered && state_->binding.outcome != HotKeyRegistration::bound)
        attempt();
}

void HotKey::attempt() {
    // The handlers run on the source's thread: they only post, and touch no state.
    const std::weak_ptr<State> weak = state_;
    MainQueue* main = &main_;
    source_.bind(
        shortcut(),
        [weak, main](ShortcutEdge edge) {
            main->async([weak, edge] {
                if (auto state = weak.lock())
                    state->deliver(edge);
            });
        },
        [this, weak, main](ShortcutBinding outcome) {
            // Reported as a job of its own, like the key's edges: the caller may be mid-update.
            main->async([this, weak, outcome = std::move(outcome)] {
                auto state = weak.lock();
                if (!state)
                    return; // `this` went with its state
                state->bound(outcome);
                if (outcome.outcome != HotKeyRegistration::bound)
                    scheduleRetry();
            });
        });
}

void HotKey::scheduleRetry() {
    if (std::exchange(state_->retryScheduled, true))
        return;
    main_.asyncAfter(kRetrySeconds, [this, weak = std::weak_ptr<State>(state_)] {
        auto state = weak.lock();
        if (!state)
            return;
        state->retryScheduled = false;
        retryRegistration();
    });
}

void HotKey::State::bound(const ShortcutBinding& outcome) {
    binding = outcome;
    if (binding.trigger.empty())
        binding.trigger = shortcut().preferredTrigger;
    if (auto callback = onRegistration)
        callback(binding);
}

void HotKey::State::deliver(ShortcutEdge edge) {
    // isDown changes even when the callback is absent, so presses and releases stay paired.
    if (edge == ShortcutEdge::pressed) {
        if (isDown)
            return;
        isDown = true;
        if (auto callback = onPress)
            callback();
    } else {
        if (!isDown)
            return;
        isDown = false;
        if (auto callback = onRelease)
            callback();
    }
}

} // namespace murmelin
