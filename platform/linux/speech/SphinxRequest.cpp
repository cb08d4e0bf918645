#include "SphinxRequest.h"

#include <algorithm>
#include <cmath>

namespace murmelin {
namespace {

int16_t toInt16(float sample) {
    if (!(sample == sample)) { // NaN
        return 0;
    }
    // The sound server's own scale (1/32768 per step), so 16-bit audio passes unchanged.
    return static_cast<int16_t>(std::clamp(std::lrint(sample * 32768.0f), -32768L, 32767L));
}

} // namespace

void convertForDecoder(const AudioBuffer& buffer, std::vector<int16_t>& out) {
    if (!buffer.floatChannelData || buffer.channelCount == 0 || buffer.frameLength == 0) {
        return;
    }
    std::vector<float> mono(buffer.frameLength);
    for (uint32_t c = 0; c < buffer.channelCount; ++c) {
        const float* channel = buffer.floatChannelData[c];
        for (uint32_t i = 0; i < buffer.frameLength; ++i) {
            mono[i] += channel[i];
        }
    }
    if (buffer.channelCount > 1) {
        const float scale = 1.0f / static_cast<float>(buffer.channelCount);
        for (float& s : mono) {
            s *= scale;
        }
    }
    out.reserve(out.size() + mono.size());
    for (float s : mono) {
        out.push_back(toInt16(s));
    }
}

void SphinxRequest::append(const AudioBuffer& buffer) {
    std::lock_guard lock(mutex_);
    if (ended_ || cancelled_) {
        return;
    }
    if (!firstAppend_) {
        firstAppend_ = Clock::now();
    }
    const std::size_t before = queued_.size();
    convertForDecoder(buffer, queued_);
    if (queued_.size() != before) {
        wake_.notify_one();
    }
}

void SphinxRequest::endAudio() {
    std::lock_guard lock(mutex_);
    if (ended_) {
        return;
    }
    ended_ = true;
    wake_.notify_one();
}

SphinxRequest::Take SphinxRequest::take(std::vector<int16_t>& out) {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [&] { return cancelled_ || ended_ || !queued_.empty(); });
    if (cancelled_) {
        return Take::cancelled;
    }
    if (queued_.empty()) {
        return Take::ended;
    }
    if (!firstTaken_) {
        firstTaken_ = Clock::now();
    }
    // Bounded slices keep cancel() prompt when the decoder has fallen behind.
    constexpr std::size_t kMaxSlice = 4096;
    out.clear();
    if (queued_.size() <= kMaxSlice) {
        out.swap(queued_);
    } else {
        out.assign(queued_.begin(), queued_.begin() + kMaxSlice);
        queued_.erase(queued_.begin(), queued_.begin() + kMaxSlice);
    }
    return Take::audio;
}

void SphinxRequest::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    queued_.clear();
    wake_.notify_one();
}

bool SphinxRequest::cancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

std::optional<SphinxRequest::Clock::time_point> SphinxRequest::firstAppend() const {
    std::lock_guard lock(mutex_);
    return firstAppend_;
}

std::optional<SphinxRequest::Clock::time_point> SphinxRequest::firstTaken() const {
    std::lock_guard lock(mutex_);
    return firstTaken_;
}

std::size_t SphinxRequest::pending() const {
    std::lock_guard lock(mutex_);
    return queued_.size();
}

} // namespace murmelin
