#pragma once

#include "MainQueue.h"
#include "ports/Desktop.h"

#include <deque>
#include <functional>
#include <memory>
#include <string>

namespace murmelin {

// Between the clipboard write and the chord that pastes it.
inline constexpr double kPasteDelaySeconds = 0.08;

// Pastes delivered transcripts one after another, each with its own text on the clipboard.
// A target reads the clipboard only when the chord reaches it, so a transcript delivered
// while an earlier paste is still due must not be on the clipboard before that paste has gone
// out and the target has had time to fetch it. While the hot key is held our own grab would
// swallow the chord: a paste due then waits for the release. Jobs hold the queue, not its
// owner, so a paste runs even if the owner is gone. Main thread.
class PasteQueue : public std::enable_shared_from_this<PasteQueue> {
public:
    // After a chord, before the clipboard takes the next transcript.
    static constexpr double kSettleSeconds = 0.25;

    // Called on the main queue with the text when its chord could not be typed at all.
    using Failure = std::function<void(const std::string& text)>;

    // References must outlive the queue and every job it posts.
    static std::shared_ptr<PasteQueue> make(KeyInjector& keys, Clipboard& clipboard,
                                            MainQueue& main);
    PasteQueue(KeyInjector& keys, Clipboard& clipboard, MainQueue& main); // use make()

    // Whether nothing is due and the last chord has settled: a new transcript may go onto the
    // clipboard at once.
    bool idle() const { return items_.empty() && !settling_; }
    // Pastes `text`; when idle() the caller has just put it on the clipboard.
    void add(std::string text, Failure onFailure);
    // The hot key went down or up.
    void setHeld(bool held);

private:
    struct Item {
        std::string text;
        Failure onFailure;
    };
    void after(double seconds, void (PasteQueue::*step)());
    void runHead();
    void settled();

    KeyInjector& keys_;
    Clipboard& clipboard_;
    MainQueue& main_;
    std::deque<Item> items_; // the head is the one due next
    bool settling_ = false;  // a chord went out less than kSettleSeconds ago
    bool held_ = false;
    bool waitsForRelease_ = false;
};

} // namespace murmelin
