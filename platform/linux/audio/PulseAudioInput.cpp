#include "PulseAudioInput.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstring>

namespace murmelin {
namespace {

constexpr pa_usec_t kTimeout = 2 * PA_USEC_PER_SEC;
constexpr uint32_t kRate = 16000;

std::string errorText(int error) {
    return pa_strerror(error);
}

} // namespace

// Holds the main loop's lock: every pa_* call outside the loop's own callbacks needs it.
class PulseAudioInput::Lock {
public:
    explicit Lock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~Lock() { pa_threaded_mainloop_unlock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

void PulseAudioInput::LoopDeleter::operator()(pa_threaded_mainloop* loop) const {
    pa_threaded_mainloop_stop(loop);
    pa_threaded_mainloop_free(loop);
}

void PulseAudioInput::ContextDeleter::operator()(pa_context* context) const {
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
}

void PulseAudioInput::StreamDeleter::operator()(pa_stream* stream) const {
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
        pa_stream_disconnect(stream);
    }
    pa_stream_unref(stream);
}

PulseAudioInput::PulseAudioInput(std::string server) : server_(std::move(server)) {}

PulseAudioInput::~PulseAudioInput() {
    if (!loop_) {
        return;
    }
    {
        Lock lock(loop_.get());
        stream_.reset();
        context_.reset();
    }
    loop_.reset(); // stops the loop's thread; must not hold the lock
}

void PulseAudioInput::installTap(uint32_t bufferSize, AudioFormat /*format*/, AudioTap tap) {
    std::lock_guard lock(tapMutex_);
    tap_ = std::move(tap);
    bufferFrames_ = framesFor(bufferSize);
}

uint32_t PulseAudioInput::framesFor(uint32_t bufferSize) {
    constexpr uint32_t kDeviceRate = 48000;
    return std::max<uint32_t>(1, (bufferSize ? bufferSize : 1024) * kRate / kDeviceRate);
}

void PulseAudioInput::removeTap() {
    std::lock_guard lock(tapMutex_);
    tap_ = nullptr;
}

void PulseAudioInput::ensureLoop() {
    if (loop_) {
        return;
    }
    std::unique_ptr<pa_threaded_mainloop, LoopDeleter> loop(pa_threaded_mainloop_new());
    if (!loop || pa_threaded_mainloop_start(loop.get()) < 0) {
        throw EngineError("Cannot start the sound client");
    }
    pa_threaded_mainloop_set_name(loop.get(), "murmelin-capture");
    loop_ = std::move(loop);
}

// Waits on the loop (lock held) until `done` or two seconds have passed; a timer wakes the
// wait so that a server that never answers cannot hang the caller.
bool PulseAudioInput::waitFor(const std::function<bool()>& done) {
    struct Timer {
        pa_threaded_mainloop* loop;
        bool expired = false;
    } timer{loop_.get()};
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_.get());
    timeval deadline{};
    pa_timeval_add(pa_gettimeofday(&deadline), kTimeout);
    pa_time_event* event = api->time_new(
        api, &deadline,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* data) {
            auto* t = static_cast<Timer*>(data);
            t->expired = true;
            pa_threaded_mainloop_signal(t->loop, 0);
        },
        &timer);
    while (!done() && !timer.expired) {
        pa_threaded_mainloop_wait(loop_.get());
    }
    api->time_free(event);
    return done();
}

void PulseAudioInput::ensureContext() {
    if (context_ && pa_context_get_state(context_.get()) == PA_CONTEXT_READY) {
        return;
    }
    context_.reset(); // a connection that died is replaced
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_.get());
    std::unique_ptr<pa_context, ContextDeleter> context(pa_context_new(api, "Murmelin"));
    if (!context) {
        throw EngineError("Cannot connect to the sound server: out of memory");
    }
    pa_context_set_state_callback(context.get(), &PulseAudioInput::onContextState, this);
    int error = 0;
    bool answered = true;
    if (pa_context_connect(context.get(), server_.empty() ? nullptr : server_.c_str(),
                           PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        error = pa_context_errno(context.get());
    } else {
        answered = waitFor([&] {
            const auto state = pa_context_get_state(context.get());
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        });
        if (pa_context_get_state(context.get()) == PA_CONTEXT_READY) {
            context_ = std::move(context);
            return;
        }
        error = pa_context_errno(context.get());
    }
    if (error == PA_ERR_ACCESS) {
        accessRefused_ = true;
    }
    throw EngineError("Cannot connect to the sound server: " +
                      (answered ? errorText(error) : std::string("it did not answer")));
}

void PulseAudioInput::openStream() {
    {
        std::lock_guard lock(tapMutex_);
        frames_ = bufferFrames_;
    }
    pending_.clear();
    pending_.reserve(frames_);
    carried_ = 0;

    const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32LE, kRate, 1};
    std::unique_ptr<pa_stream, StreamDeleter> stream(
        pa_stream_new(context_.get(), "Dictation", &sampleSpec, nullptr));
    if (!stream) {
        throw EngineError("Cannot open the microphone: " +
                          errorText(pa_context_errno(context_.get())));
    }
    pa_stream_set_state_callback(stream.get(), &PulseAudioInput::onStreamState, this);
    pa_stream_set_read_callback(stream.get(), &PulseAudioInput::onRead, this);
    // Without a fragment size the server hands out audio in two-second blocks.
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr);
    attr.fragsize = static_cast<uint32_t>(frames_ * sizeof(float));
    int error = 0;
    bool answered = true;
    if (pa_stream_connect_record(stream.get(), nullptr, &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
        error = pa_context_errno(context_.get());
    } else {
        answered = waitFor([&] {
            const auto state = pa_stream_get_state(stream.get());
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        });
        if (pa_stream_get_state(stream.get()) == PA_STREAM_READY) {
            stream_ = std::move(stream);
            return;
        }
        error = pa_context_errno(context_.get());
    }
    if (error == PA_ERR_ACCESS) {
        accessRefused_ = true;
    }
    if (!answered) {
        throw EngineError("Cannot open the microphone: the sound server did not answer");
    }
    if (error == PA_ERR_NOENTITY) {
        throw EngineError("No microphone: the default input device does not exist (" +
                          errorText(error) + ")");
    }
    throw EngineError("Cannot open the microphone: " + errorText(error));
}

void PulseAudioInput::start() {
    ensureLoop();
    Lock lock(loop_.get());
    stream_.reset(); // a second start without stop begins afresh
    ensureContext();
    openStream();
}

void PulseAudioInput::stop() {
    if (!loop_) {
        return;
    }
    Lock lock(loop_.get());
    // The end of the speech: what the server has sent and the last, shorter buffer.
    if (stream_) {
        read(stream_.get());
    }
    if (!pending_.empty()) {
        emit();
    }
    stream_.reset();
    pending_.clear();
    carried_ = 0;
}

void PulseAudioInput::read(pa_stream* stream) {
    for (;;) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
            return;
        }
        if (data) { // a null pointer with a length is a hole in the recording: dropped
            const auto* p = static_cast<const unsigned char*>(data);
            std::size_t i = 0;
            while (carried_ > 0 && i < bytes) {
                carry_[carried_++] = p[i++];
                if (carried_ == sizeof(float)) {
                    float sample;
                    std::memcpy(&sample, carry_, sizeof sample);
                    push(&sample, 1);
                    carried_ = 0;
                }
            }
            const std::size_t whole = (bytes - i) / sizeof(float);
            for (std::size_t k = 0; k < whole; ++k) {
                float sample;
                std::memcpy(&sample, p + i + k * sizeof(float), sizeof sample);
                push(&sample, 1);
            }
            i += whole * sizeof(float);
            while (i < bytes) {
                carry_[carried_++] = p[i++];
            }
        }
        pa_stream_drop(stream);
    }
}

void PulseAudioInput::push(const float* samples, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
        pending_.push_back(samples[k]);
        if (pending_.size() == frames_) {
            emit();
            pending_.clear();
        }
    }
}

void PulseAudioInput::emit() {
    std::lock_guard lock(tapMutex_);
    if (!tap_) {
        return;
    }
    const float* channels[1] = {pending_.data()};
    AudioBuffer buffer;
    buffer.floatChannelData = channels;
    buffer.channelCount = 1;
    buffer.frameLength = static_cast<uint32_t>(pending_.size());
    buffer.sampleRate = kRate;
    tap_(buffer);
}

void PulseAudioInput::onContextState(pa_context*, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseAudioInput*>(self)->loop_.get(), 0);
}

void PulseAudioInput::onStreamState(pa_stream*, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseAudioInput*>(self)->loop_.get(), 0);
}

void PulseAudioInput::onRead(pa_stream* stream, std::size_t, void* self) {
    static_cast<PulseAudioInput*>(self)->read(stream);
}

} // namespace murmelin
