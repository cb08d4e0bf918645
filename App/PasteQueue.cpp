#include "PasteQueue.h"

#include "Controller.h"

#include <utility>

namespace murmelin {

std::shared_ptr<PasteQueue> PasteQueue::make(KeyInjector& keys, Clipboard& clipboard,
                                             MainQueue& main) {
    return std::make_shared<PasteQueue>(keys, clipboard, main);
}

PasteQueue::PasteQueue(KeyInjector& keys, Clipboard& clipboard, MainQueue& main)
    : keys_(keys), clipboard_(clipboard), main_(main) {}

void PasteQueue::add(std::string text, Failure onFailure) {
    const bool first = idle();
    items_.push_back({std::move(text), std::move(onFailure)});
    if (first)
        after(kPasteDelaySeconds, &PasteQueue::runHead);
    // Otherwise the chord before it, once settled, puts it on the clipboard.
}

void PasteQueue::setHeld(bool held) {
    held_ = held;
    if (!held && std::exchange(waitsForRelease_, false))
        after(0, &PasteQueue::runHead);
}

void PasteQueue::after(double seconds, void (PasteQueue::*step)()) {
    auto job = [self = shared_from_this(), step] { (self.get()->*step)(); };
    if (seconds > 0)
        main_.asyncAfter(seconds, std::move(job));
    else
        main_.async(std::move(job));
}

void PasteQueue::runHead() {
    if (items_.empty())
        return;
    if (held_) {
        waitsForRelease_ = true;
        return;
    }
    Item item = std::move(items_.front());
    items_.pop_front();
    if (!Controller::pasteCommandV(keys_, clipboard_, item.text) && item.onFailure)
        item.onFailure(item.text);
    settling_ = true;
    after(kSettleSeconds, &PasteQueue::settled);
}

void PasteQueue::settled() {
    settling_ = false;
    if (items_.empty())
        return;
    clipboard_.setString(items_.front().text);
    after(kPasteDelaySeconds, &PasteQueue::runHead);
}

} // namespace murmelin
