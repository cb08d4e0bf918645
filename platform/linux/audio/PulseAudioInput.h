#pragma once

#include "ports/Audio.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;
struct pa_operation;

namespace murmelin {

// The microphone through the PulseAudio client API (PipeWire desktops serve it too).
// Captures 32-bit float mono at 16 kHz from the default source and lets the server convert,
// so the recogniser gets its own rate without a second resampling. The connection to the
// server is made at the first start() and kept (and remade when it has died); the record
// stream exists only between start() and stop(), so the microphone is free while idle.
// Main thread, except that the tap runs on the client's own capture thread.
class PulseAudioInput final : public AudioInput {
public:
    // `server` as libpulse understands it ("unix:/run/user/1000/pulse/native"); empty for the
    // default (PULSE_SERVER, then the usual places).
    explicit PulseAudioInput(std::string server = {});
    ~PulseAudioInput() override;
    PulseAudioInput(const PulseAudioInput&) = delete;
    PulseAudioInput& operator=(const PulseAudioInput&) = delete;

    // Buffers reach the tap as 16 kHz mono, each as long as `bufferSize` frames (1024 when 0) would
    // last at 48 kHz, the rate microphones commonly run at and requests are sized for: 1024 gives
    // 341 frames, 21 ms. At 16 kHz the same count would make every buffer three times late. The
    // first buffer comes as soon as any audio has, shorter; the last holds what was left at stop().
    static uint32_t framesFor(uint32_t bufferSize);
    void installTap(uint32_t bufferSize, AudioTap tap) override;
    // Waits for a tap call under way, so nothing is called after it returns.
    void removeTap() override;
    // Throws EngineError saying why when the server or the default source cannot be reached.
    // Waits at most about two seconds for each. After a failure nothing of ours stays open on
    // the server, also when it answers only later.
    void start() override;
    // Closes the record stream after handing the tap what was captured up to now, the last
    // buffer shorter than the others.
    void stop() override;

    // Called when the connection dies, the server ends the stream, or the source goes away
    // (also when the server quietly moves the stream elsewhere because its source was removed).
    // It runs on the capture thread as the tap does: post to the main thread, never call back
    // into this input from it. Audio after the cut is not handed on; what came before is.
    void setOnInterrupted(std::function<void(std::string reason)> handler) override {
        onInterrupted_ = std::move(handler);
    }

    // Whether the server refused us access at the latest attempt to connect. After a refusal it
    // asks the server again, so that access granted since counts at once. Main thread.
    bool accessRefused();

private:
    struct LoopDeleter {
        void operator()(pa_threaded_mainloop* loop) const;
    };
    struct ContextDeleter {
        void operator()(pa_context* context) const;
    };
    struct StreamDeleter {
        void operator()(pa_stream* stream) const;
    };
    struct OperationDeleter {
        void operator()(pa_operation* operation) const;
    };
    class Lock;

    void ensureLoop();
    void ensureContext();
    void openStream();
    [[noreturn]] void failOpen(int error, const std::string& device);
    bool hasDefaultSource();
    void closeStream();
    void interrupt(const std::string& reason);
    bool waitFor(const std::function<bool()>& done);
    void read(pa_stream* stream);
    void raise(pa_stream* stream);
    void push(const float* samples, std::size_t count);
    void deliverBuffer();

    static void onContextState(pa_context* context, void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onRead(pa_stream* stream, std::size_t bytes, void* self);
    static void onMoved(pa_stream* stream, void* self);
    static void onEvent(pa_context* context, int type, uint32_t index, void* self);
    void checkSource(uint32_t index, std::string ifPresent);

    const std::string server_;
    bool accessRefused_ = false;                     // at the latest attempt
    std::function<void(std::string)> onInterrupted_; // set while idle, called on capture

    std::mutex tapMutex_; // the tap is replaced on the main thread while capture calls it
    AudioTap tap_;
    uint32_t bufferFrames_ = framesFor(0); // written under tapMutex_, read when a stream opens

    // Everything below is touched only with the main loop's lock held.
    std::unique_ptr<pa_threaded_mainloop, LoopDeleter> loop_;
    std::unique_ptr<pa_context, ContextDeleter> context_;
    std::unique_ptr<pa_stream, StreamDeleter> stream_;
    std::unique_ptr<pa_operation, OperationDeleter> check_; // is the source moved from gone?
    uint32_t source_ = 0;        // index of the source the open stream records from
    bool first_ = true;          // no buffer handed on yet for the open stream
    bool interrupted_ = false;   // reported for the open stream; its audio is no longer wanted
    std::string ifPresent_;      // what to report when the checked source still exists
    std::vector<float> pending_; // samples of the buffer being filled
    std::size_t frames_ = framesFor(0); // frames per tap call for the open stream
    unsigned char carry_[sizeof(float)] = {};
    std::size_t carried_ = 0; // bytes of a sample split across two reads
};

} // namespace murmelin
