#pragma once

#include "ports/Speech.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace murmelin {

// The decoder's input rate: pocketsphinx models are trained on 16 kHz speech.
inline constexpr double kDecoderRate = 16000;

// Converts a captured buffer (16 kHz, as every capture delivers it) to the decoder's input:
// channels averaged to mono, clamped to 16-bit integers.
void convertForDecoder(const AudioBuffer& buffer, std::vector<int16_t>& out);

// A streaming request: a queue between the capture thread (append) and the decoder thread
// (take). Audio appended before a task picks the request up waits in the queue.
class SphinxRequest final : public RecognitionRequest {
public:
    using Clock = std::chrono::steady_clock;

    // Capture thread. Returns at once; never decodes.
    void append(const AudioBuffer& buffer) override;
    // Main thread. Later appends are dropped.
    void endAudio() override;

    enum class Take { audio, ended, cancelled };
    // Decoder thread. Waits until audio is queued (moved into `out`), the audio has ended
    // and everything is taken, or the request is cancelled.
    Take take(std::vector<int16_t>& out);
    // Any thread. Wakes the decoder thread; it drops what is queued.
    void cancel();
    bool cancelled() const;

    // For measurements: when the first buffer was appended, and when the decoder took it.
    std::optional<Clock::time_point> firstAppend() const;
    std::optional<Clock::time_point> firstTaken() const;
    // For measurements: samples appended and not yet taken by the decoder.
    std::size_t pending() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<int16_t> queued_;
    bool ended_ = false;
    bool cancelled_ = false;
    std::optional<Clock::time_point> firstAppend_;
    std::optional<Clock::time_point> firstTaken_;
};

} // namespace murmelin
