#pragma once

#include "MainQueue.h"
#include "ports/HotKeyEvents.h"
#include "ports/Session.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace murmelin {

// The push-to-talk key Control+Alt+Space. Turns the source's events into strictly
// alternating onPress/onRelease calls on the main queue. Main thread, except the handler.
class HotKey : public PushToTalkKey {
public:
    static constexpr uint32_t kSpaceKeyCode = 49;
    static constexpr uint32_t kModifiers = 0x1800; // control 0x1000 | option (Alt) 0x0800
    static constexpr uint32_t kSignature =
        (uint32_t('M') << 24) | (uint32_t('R') << 16) | (uint32_t('M') << 8) | uint32_t('1');
    static constexpr uint32_t kIdentifier = 1;
    static constexpr uint32_t kPressedKind = 5;
    // While the combination is not bound, it is tried again this often.
    static constexpr double kRetrySeconds = 30;

    // Both must outlive every handler that registerKey() installs.
    HotKey(HotKeySource& source, MainQueue& main);
    HotKey(const HotKey&) = delete;
    HotKey& operator=(const HotKey&) = delete;

    // The process-wide key. The program's entry configures it once before first use; a
    // later configureShared() changes nothing. shared() before that throws logic_error.
    static void configureShared(HotKeySource& source, MainQueue& main);
    static HotKey& shared();

    void setOnPress(std::function<void()> onPress) override;
    void setOnRelease(std::function<void()> onRelease) override;
    // Installs the handler, then registers the combination. The outcome reaches the
    // registration callback as a main-queue job; while it is not `bound` the registration
    // is tried again every kRetrySeconds.
    void registerKey() override;
    void setOnRegistration(std::function<void(HotKeyRegistration)> onRegistration) override;
    void retryRegistration() override;
    HotKeyRegistration registration() const { return state_->registration; }

private:
    void attempt();
    void scheduleRetry();

    // Held by shared_ptr so that a handler outliving this object finds it gone.
    struct State {
        std::function<void()> onPress;
        std::function<void()> onRelease;
        std::function<void(HotKeyRegistration)> onRegistration;
        bool registered = false; // stands for the platform's hot-key reference
        bool isDown = false;
        HotKeyRegistration registration = HotKeyRegistration::pending;
        bool retryScheduled = false;
        void deliver(uint32_t kind);
    };

    HotKeySource& source_;
    MainQueue& main_;
    std::shared_ptr<State> state_;
};

} // namespace murmelin
