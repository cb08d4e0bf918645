#pragma once

#include "ModelCatalog.h"
#include "SphinxRequest.h"
#include "ports/Speech.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

typedef struct ps_decoder_s ps_decoder_t;

namespace murmelin {

// Decoder settings. The defaults were chosen by measurement (bench/RecognizerBench): the
// second "flat" pass costs latency at release for no accuracy; best-path rescoring is cheap
// and clearly more accurate.
struct DecoderOptions {
    bool fwdflat = false;
    bool bestpath = true;
    int maxhmmpf = 3000;
};

// One utterance in the decoder's queue: its audio, its handler and its cancellation.
class Utterance {
public:
    Utterance(std::shared_ptr<SphinxRequest> request, RecognitionHandler handler);
    SphinxRequest& request() { return *request_; }
    // Decoder thread. Calls the handler unless cancel() has returned before.
    void deliver(std::optional<RecognitionResult> result, std::optional<RecognitionError> error);
    // Main thread. After it returns, the handler is not called again.
    void cancel();

private:
    std::shared_ptr<SphinxRequest> request_;
    std::mutex handlerMutex_;
    RecognitionHandler handler_;
};

// A loaded model and the one thread that decodes with it. Utterances are decoded one after
// another in the order they were started; starting one closes the audio of those before it,
// so an earlier dictation finishes with what it already has instead of holding the decoder.
class SphinxEngine {
public:
    // Loads the model (a few hundred milliseconds); throws std::runtime_error when it cannot.
    SphinxEngine(const SpeechModel& model, const DecoderOptions& options);
    ~SphinxEngine();
    SphinxEngine(const SphinxEngine&) = delete;
    SphinxEngine& operator=(const SphinxEngine&) = delete;

    // Main thread. Queues an utterance for decoding.
    void start(const std::shared_ptr<Utterance>& utterance);
    // Time spent decoding so far, for measuring the real-time factor. Any thread.
    std::chrono::nanoseconds busyTime() const { return std::chrono::nanoseconds(busy_.load()); }

private:
    struct DecoderDeleter {
        void operator()(ps_decoder_t* decoder) const;
    };

    void run();
    void decode(Utterance& utterance);

    std::unique_ptr<ps_decoder_t, DecoderDeleter> decoder_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Utterance>> queue_;
    std::shared_ptr<Utterance> current_;
    bool stopping_ = false;
    std::atomic<int64_t> busy_{0};
    std::thread thread_;
};

} // namespace murmelin
