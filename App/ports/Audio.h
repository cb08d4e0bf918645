#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace murmelin {

// Every capture delivers this rate: the recogniser's models are trained on 16 kHz speech.
inline constexpr double kCaptureRate = 16000;

// Non-interleaved 32-bit float audio at kCaptureRate, valid only during the tap call that
// receives it.
struct AudioBuffer {
    const float* const* floatChannelData = nullptr; // null when the buffer has no float data
    uint32_t channelCount = 0;
    uint32_t frameLength = 0;
};

// Called on the capture thread for each captured buffer.
using AudioTap = std::function<void(const AudioBuffer&)>;

// What an audio back-end reports when it cannot start; description() is for the user.
class EngineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    std::string description() const { return what(); }
};

// The microphone input. Created once, reused for every recording. Main thread, except that
// the tap runs on the capture thread.
class AudioInput {
public:
    virtual ~AudioInput() = default;
    // At most one tap, fed buffers of about `bufferSize` frames; installing replaces.
    // Removing a tap that is not there is harmless.
    virtual void installTap(uint32_t bufferSize, AudioTap tap) = 0;
    virtual void removeTap() = 0;
    virtual void start() = 0; // throws EngineError
    virtual void stop() = 0;
    // Called on a capture thread, at most once per start(), when capture ends by itself
    // before stop(): the sound server went away or the microphone was removed. `reason` is a
    // sentence for the user. Replacing the handler is done on the main thread while idle.
    virtual void setOnInterrupted(std::function<void(std::string reason)> handler) = 0;
};

} // namespace murmelin
