#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace murmelin {

// Cuts the audio of one utterance into the blocks the decoder hears: always kBlock samples
// (64 ms) however the capture happened to cut it, because the decoder's level normalisation
// moves at block boundaries and would otherwise hear the same speech differently from one
// dictation to the next. Digital silence (exact zeros: a muted or idle source; a microphone's
// own noise never is) before and after the speech is left out: frames without any energy throw
// that normalisation off for the words next to them and, as it carries over, for the next
// dictation. Silence between words stays. One thread.
class DecoderBlocks {
public:
    static constexpr std::size_t kBlock = 1024;

    // Adds captured audio; calls `block(std::span<const int16_t>)` for each whole block ready.
    // Stops early and returns false when `block` returns false.
    template <class Block> bool add(std::span<const int16_t> audio, Block&& block) {
        if (!heard_) {
            while (!audio.empty() && audio.front() == 0) {
                audio = audio.subspan(1);
            }
            heard_ = !audio.empty();
        }
        pending_.insert(pending_.end(), audio.begin(), audio.end());
        const std::size_t speech = pending_.size() - trailingSilence();
        std::size_t used = 0;
        bool ok = true;
        for (; ok && speech - used >= kBlock; used += kBlock) {
            ok = block(std::span<const int16_t>(pending_.data() + used, kBlock));
            ++processed_;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
        return ok;
    }

    // Whole blocks handed out so far.
    std::size_t processed() const { return processed_; }

    // At the end of the audio: what is left, without the silence after the speech.
    std::span<const int16_t> rest() {
        pending_.resize(pending_.size() - trailingSilence());
        return pending_;
    }

private:
    std::size_t trailingSilence() const {
        std::size_t n = 0;
        while (n < pending_.size() && pending_[pending_.size() - 1 - n] == 0) {
            ++n;
        }
        return n;
    }

    std::vector<int16_t> pending_;
    std::size_t processed_ = 0;
    bool heard_ = false; // a sample that is not digital silence has arrived
};

} // namespace murmelin
