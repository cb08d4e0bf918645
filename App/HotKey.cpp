#include "HotKey.h"

#include <stdexcept>
#include <utility>

namespace murmelin {

namespace {

std::unique_ptr<HotKey>& sharedInstance() {
    static std::unique_ptr<HotKey> instance;
    return instance;
}

} // namespace

HotKey::HotKey(HotKeySource& source, MainQueue& main)
    : source_(source), main_(main), state_(std::make_shared<State>()) {}

void HotKey::configureShared(HotKeySource& source, MainQueue& main) {
    auto& instance = sharedInstance();
    if (!instance)
        instance = std::make_unique<HotKey>(source, main);
}

HotKey& HotKey::shared() {
    auto& instance = sharedInstance();
    if (!instance)
        throw std::logic_error("HotKey::shared() used before configureShared()");
    return *instance;
}

void HotKey::setOnPress(std::function<void()> onPress) {
    state_->onPress = std::move(onPress);
}

void HotKey::setOnRelease(std::function<void()> onRelease) {
    state_->onRelease = std::move(onRelease);
}

void HotKey::registerKey() {
    // Runs on the source's thread: it only posts, and touches no state.
    source_.installHandler(
        [weak = std::weak_ptr<State>(state_), main = &main_](const HotKeyEvent* event) -> int32_t {
            if (!event)
                return kEventNotHandledErr;
            const uint32_t kind = event->kind;
            main->async([weak, kind] {
                if (auto state = weak.lock())
                    state->deliver(kind);
            });
            return kNoErr;
        });
    state_->registered = true;
    attempt();
}

void HotKey::setOnRegistration(std::function<void(HotKeyRegistration)> onRegistration) {
    state_->onRegistration = std::move(onRegistration);
}

void HotKey::retryRegistration() {
    if (state_->registered && state_->registration != HotKeyRegistration::bound)
        attempt();
}

void HotKey::attempt() {
    const HotKeyRegistration outcome =
        source_.registerHotKey(kSpaceKeyCode, kModifiers, kSignature, kIdentifier);
    state_->registration = outcome;
    // Reported as a job of its own, like the key's events: the caller may be mid-update.
    main_.async([weak = std::weak_ptr<State>(state_), outcome] {
        if (auto state = weak.lock(); state && state->onRegistration)
            state->onRegistration(outcome);
    });
    if (outcome != HotKeyRegistration::bound)
        scheduleRetry();
}

void HotKey::scheduleRetry() {
    if (std::exchange(state_->retryScheduled, true))
        return;
    main_.asyncAfter(kRetrySeconds, [this, weak = std::weak_ptr<State>(state_)] {
        auto state = weak.lock();
        if (!state)
            return; // `this` went with its state
        state->retryScheduled = false;
        retryRegistration();
    });
}

void HotKey::State::deliver(uint32_t kind) {
    // isDown changes even when the callback is absent, so presses and releases stay paired.
    if (kind == kPressedKind) {
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
