#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace murmelin {

// Ends a subscription when destroyed (or reset). Outliving the signal is harmless.
class Subscription {
public:
    Subscription() = default;
    explicit Subscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    Subscription(Subscription&& o) noexcept : cancel_(std::exchange(o.cancel_, nullptr)) {}
    Subscription& operator=(Subscription&& o) noexcept {
        if (this != &o) {
            reset();
            cancel_ = std::exchange(o.cancel_, nullptr);
        }
        return *this;
    }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    ~Subscription() { reset(); }
    void reset() {
        if (auto c = std::exchange(cancel_, nullptr))
            c();
    }

private:
    std::function<void()> cancel_;
};

// A change signal without a value. Observers are called in subscription order on the
// thread that sends; they may subscribe or unsubscribe while being called.
class Signal {
public:
    Subscription subscribe(std::function<void()> observer) {
        auto id = state_->nextId++;
        state_->observers.emplace_back(
            id, std::make_shared<std::function<void()>>(std::move(observer)));
        std::weak_ptr<State> weak = state_;
        return Subscription([weak, id] {
            if (auto s = weak.lock())
                std::erase_if(s->observers, [id](auto& o) { return o.first == id; });
        });
    }
    void send() const {
        auto snapshot = state_->observers; // copy: observers may change the list
        for (auto& [id, fn] : snapshot)
            (*fn)();
    }
    std::size_t observerCount() const { return state_->observers.size(); }

private:
    struct State {
        std::vector<std::pair<uint64_t, std::shared_ptr<std::function<void()>>>> observers;
        uint64_t nextId = 0;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// An object whose published fields all announce on one signal, just before they change.
// Observers that want the new values read them after the assignment, e.g. from a job
// posted to the main queue.
class ObservableObject {
public:
    ObservableObject() = default;
    ObservableObject(const ObservableObject&) = delete;
    ObservableObject& operator=(const ObservableObject&) = delete;

    Signal objectWillChange;
};

// A stored field whose every assignment, also of an equal value, first announces on the
// owner's objectWillChange, then stores, then runs the optional didSet (e.g. to persist).
template <class T> class Published {
public:
    Published(ObservableObject& owner, T initial, std::function<void(const T&)> didSet = {})
        : signal_(&owner.objectWillChange), value_(std::move(initial)), didSet_(std::move(didSet)) {
    }
    Published(const Published&) = delete;

    Published& operator=(T value) {
        signal_->send();
        value_ = std::move(value);
        if (didSet_)
            didSet_(value_);
        return *this;
    }
    const T& get() const { return value_; }
    operator const T&() const { return value_; }
    const T* operator->() const { return &value_; }

private:
    const Signal* signal_;
    T value_;
    std::function<void(const T&)> didSet_;
};

} // namespace murmelin
