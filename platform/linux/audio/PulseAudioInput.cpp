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

// The stand-in both servers put up when no real device is left (PipeWire's WirePlumber at once,
// PulseAudio with module-always-sink): recording from it gives silence, never speech.
bool isStandIn(const char* source) {
    return source && std::strcmp(source, "auto_null.monitor") == 0;
}

const char* const kNoMicrophone = "No microphone: the default input device does not exist (";

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
    pa_context_set_subscribe_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
}

void PulseAudioInput::StreamDeleter::operator()(pa_stream* stream) const {
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_moved_callback(stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
        pa_stream_disconnect(stream);
    }
    pa_stream_unref(stream);
}

void PulseAudioInput::OperationDeleter::operator()(pa_operation* operation) const {
    if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
        pa_operation_cancel(operation); // its callback must not outlive the stream it is about
    }
    pa_operation_unref(operation);
}

PulseAudioInput::PulseAudioInput(std::string server) : server_(std::move(server)) {}

PulseAudioInput::~PulseAudioInput() {
    if (!loop_) {
        return;
    }
    {
        Lock lock(loop_.get());
        closeStream();
        context_.reset();
    }
    loop_.reset(); // stops the loop's thread; must not hold the lock
}

void PulseAudioInput::installTap(uint32_t bufferSize, AudioTap tap) {
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
            // Told when a source goes away, to notice the microphone removed mid-recording.
            pa_context_set_subscribe_callback(
                context.get(),
                [](pa_context* c, pa_subscription_event_type_t type, uint32_t index, void* self) {
                    onEvent(c, type, index, self);
                },
                this);
            if (pa_operation* op = pa_context_subscribe(context.get(), PA_SUBSCRIPTION_MASK_SOURCE,
                                                        nullptr, nullptr)) {
                pa_operation_unref(op);
            }
            context_ = std::move(context);
            accessRefused_ = false;
            return;
        }
        error = pa_context_errno(context.get());
    }
    accessRefused_ = error == PA_ERR_ACCESS;
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
    interrupted_ = false;

    const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32LE, kRate, 1};
    std::unique_ptr<pa_stream, StreamDeleter> stream(
        pa_stream_new(context_.get(), "Dictation", &sampleSpec, nullptr));
    if (!stream) {
        throw EngineError("Cannot open the microphone: " +
                          errorText(pa_context_errno(context_.get())));
    }
    pa_stream_set_state_callback(stream.get(), &PulseAudioInput::onStreamState, this);
    pa_stream_set_read_callback(stream.get(), &PulseAudioInput::onRead, this);
    pa_stream_set_moved_callback(stream.get(), &PulseAudioInput::onMoved, this);
    // Without a fragment size the server hands out audio in two-second blocks. The first
    // fragments are a quarter of a buffer, and the first buffer is handed on as soon as anything
    // has come, shorter: the level and the recogniser get the press's audio one fragment sooner
    // (PipeWire links a new stream only after its session manager has had a look, which already
    // costs a fragment's time). Whole buffers follow (raise()), for fewer wake-ups.
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr);
    attr.fragsize = static_cast<uint32_t>(std::max<std::size_t>(1, frames_ / 4) * sizeof(float));
    first_ = true;
    int error = 0;
    bool answered = true;
    std::string device;
    if (pa_stream_connect_record(stream.get(), nullptr, &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
        error = pa_context_errno(context_.get());
    } else {
        answered = waitFor([&] {
            const auto state = pa_stream_get_state(stream.get());
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        });
        if (pa_stream_get_state(stream.get()) == PA_STREAM_READY) {
            const char* name = pa_stream_get_device_name(stream.get());
            device = name ? name : "";
            if (!isStandIn(name)) {
                source_ = pa_stream_get_device_index(stream.get());
                stream_ = std::move(stream);
                accessRefused_ = false;
                return;
            }
            error = PA_ERR_NOENTITY;
        } else {
            error = pa_context_errno(context_.get());
        }
    }
    stream.reset();
    if (!answered) {
        // The server may yet create the stream when it wakes, and would then send it audio for
        // good: only closing the connection makes sure nothing of ours stays open.
        context_.reset();
        throw EngineError("Cannot open the microphone: the sound server did not answer");
    }
    accessRefused_ = error == PA_ERR_ACCESS;
    failOpen(error, device);
}

// PulseAudio says "No such entity" when there is no source at all; PipeWire gives an I/O error
// or records from its silent stand-in: both mean no microphone.
void PulseAudioInput::failOpen(int error, const std::string& device) {
    if (error == PA_ERR_NOENTITY || isStandIn(device.c_str()) || !hasDefaultSource()) {
        throw EngineError(kNoMicrophone + errorText(PA_ERR_NOENTITY) + ")");
    }
    throw EngineError("Cannot open the microphone: " + errorText(error));
}

// Whether the server names a default source that exists and is not the stand-in. True when it
// does not say in time: then the failure is reported as it came.
bool PulseAudioInput::hasDefaultSource() {
    struct Reply {
        pa_threaded_mainloop* loop = nullptr;
        bool done = false;
        bool found = false;
        std::string name;
    } reply;
    reply.loop = loop_.get();
    const auto ask = [&](pa_operation* op) {
        if (!op) {
            return false;
        }
        std::unique_ptr<pa_operation, OperationDeleter> owned(op);
        return waitFor([&] { return reply.done; });
    };
    if (!ask(pa_context_get_server_info(
            context_.get(),
            [](pa_context*, const pa_server_info* info, void* data) {
                auto* r = static_cast<Reply*>(data);
                if (info && info->default_source_name) {
                    r->name = info->default_source_name;
                }
                r->done = true;
                pa_threaded_mainloop_signal(r->loop, 0);
            },
            &reply))) {
        return true;
    }
    if (reply.name.empty() || isStandIn(reply.name.c_str())) {
        return false;
    }
    reply.done = false;
    if (!ask(pa_context_get_source_info_by_name(
            context_.get(), reply.name.c_str(),
            [](pa_context*, const pa_source_info* info, int eol, void* data) {
                auto* r = static_cast<Reply*>(data);
                r->found = r->found || info != nullptr;
                if (eol != 0) {
                    r->done = true;
                    pa_threaded_mainloop_signal(r->loop, 0);
                }
            },
            &reply))) {
        return true;
    }
    return reply.found;
}

void PulseAudioInput::start() {
    ensureLoop();
    Lock lock(loop_.get());
    closeStream(); // a second start without stop begins afresh
    ensureContext();
    openStream();
}

bool PulseAudioInput::accessRefused() {
    if (!accessRefused_) {
        return false;
    }
    try {
        ensureLoop();
        Lock lock(loop_.get());
        if (!stream_) {
            ensureContext(); // asks again; whether it refuses still is all that counts here
        }
    } catch (const EngineError&) {
    }
    return accessRefused_;
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
        deliverBuffer();
    }
    closeStream();
    pending_.clear();
    carried_ = 0;
}

void PulseAudioInput::closeStream() {
    check_.reset();
    stream_.reset();
}

// Once per recording, on the capture thread, with the loop's lock held.
void PulseAudioInput::interrupt(const std::string& reason) {
    if (!stream_ || interrupted_) {
        return;
    }
    interrupted_ = true;
    if (onInterrupted_) {
        onInterrupted_(reason);
    }
}

// Asks whether source `index` still exists: gone, the microphone was removed; still there,
// `ifPresent` is reported (nothing when empty).
void PulseAudioInput::checkSource(uint32_t index, std::string ifPresent) {
    ifPresent_ = std::move(ifPresent);
    check_.reset(pa_context_get_source_info_by_index(
        context_.get(), index,
        [](pa_context*, const pa_source_info* info, int eol, void* data) {
            auto* self = static_cast<PulseAudioInput*>(data);
            if (eol < 0) {
                self->interrupt("The microphone was disconnected.");
            } else if (info && !self->ifPresent_.empty()) {
                self->interrupt(self->ifPresent_);
            }
        },
        this));
}

void PulseAudioInput::read(pa_stream* stream) {
    for (;;) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
            return;
        }
        // After an interruption the stream may carry a stand-in's silence: not the user's.
        if (data &&
            !interrupted_) { // a null pointer with a length is a hole in the recording: dropped
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
        if (first_ && !pending_.empty()) {
            first_ = false;
            deliverBuffer();
            pending_.clear();
            raise(stream);
        }
    }
}

// Whole buffers from now on: the server wakes us once per buffer.
void PulseAudioInput::raise(pa_stream* stream) {
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr);
    attr.fragsize = static_cast<uint32_t>(frames_ * sizeof(float));
    if (pa_operation* op = pa_stream_set_buffer_attr(stream, &attr, nullptr, nullptr)) {
        pa_operation_unref(op);
    }
}

void PulseAudioInput::push(const float* samples, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
        pending_.push_back(samples[k]);
        if (pending_.size() == frames_) {
            first_ = false;
            deliverBuffer();
            pending_.clear();
        }
    }
}

void PulseAudioInput::deliverBuffer() {
    std::lock_guard lock(tapMutex_);
    if (!tap_) {
        return;
    }
    const float* channels[1] = {pending_.data()};
    AudioBuffer buffer;
    buffer.floatChannelData = channels;
    buffer.channelCount = 1;
    buffer.frameLength = static_cast<uint32_t>(pending_.size());
    tap_(buffer);
}

void PulseAudioInput::onContextState(pa_context* context, void* data) {
    auto* self = static_cast<PulseAudioInput*>(data);
    if (context == self->context_.get() && !PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
        self->interrupt("The connection to the sound server was lost (" +
                        errorText(pa_context_errno(context)) + ").");
    }
    pa_threaded_mainloop_signal(self->loop_.get(), 0);
}

void PulseAudioInput::onStreamState(pa_stream* stream, void* data) {
    auto* self = static_cast<PulseAudioInput*>(data);
    if (stream == self->stream_.get() && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
        pa_context* context = self->context_.get();
        const std::string error = errorText(pa_context_errno(context));
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
            self->interrupt("The connection to the sound server was lost (" + error + ").");
        } else {
            // PulseAudio ends the streams of a source it removes: say which it was.
            self->checkSource(self->source_,
                              "The sound server ended the recording (" + error + ").");
        }
    }
    pa_threaded_mainloop_signal(self->loop_.get(), 0);
}

void PulseAudioInput::onRead(pa_stream* stream, std::size_t, void* self) {
    static_cast<PulseAudioInput*>(self)->read(stream);
}

// PipeWire (and PulseAudio with another source left) moves the stream without a word when its
// source is removed; a mixer moves it on purpose. Only the first cuts the recording short.
void PulseAudioInput::onMoved(pa_stream* stream, void* data) {
    auto* self = static_cast<PulseAudioInput*>(data);
    if (stream != self->stream_.get()) {
        return;
    }
    if (isStandIn(pa_stream_get_device_name(stream))) {
        self->interrupt("The microphone was disconnected.");
        return;
    }
    const uint32_t from = self->source_;
    self->source_ = pa_stream_get_device_index(stream);
    self->checkSource(from, {});
}

void PulseAudioInput::onEvent(pa_context*, int type, uint32_t index, void* data) {
    auto* self = static_cast<PulseAudioInput*>(data);
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SOURCE &&
        (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE && self->stream_ &&
        index == self->source_) {
        self->interrupt("The microphone was disconnected.");
    }
}

} // namespace murmelin
