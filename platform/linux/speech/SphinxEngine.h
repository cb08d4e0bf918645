#pragma once

#include "ModelCatalog.h"
#include "SphinxDecoder.h"
#include "SphinxRequest.h"
#include "ports/Speech.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace murmelin {

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

// A model and the one thread that loads it and then decodes with it. Utterances are decoded one
// after another in the order they were started; starting one closes the audio of those before it,
// so an earlier dictation finishes with what it already has instead of holding the decoder.
//
// A long dictation is decoded as a chain of decoder utterances cut at pauses: the cost of a
// partial result and of the final one grows with the length of the decoder's utterance, and
// so does the memory its search holds. The text of the pieces is joined.
class SphinxEngine {
public:
    // Says why a model must not be loaded, or nothing (see ModelCheck.h); gives up soon once
    // its flag is set.
    using Check = std::function<std::string(const SpeechModel&, const std::atomic<bool>&)>;

    // Starts loading the model on the engine's thread (a few hundred milliseconds, after
    // `check` when given). Utterances started meanwhile wait in the queue; when the load fails,
    // they end with its reason. With `levelsFile`, the level normalisation estimate starts from
    // the one saved there and is saved there after each dictation (see LevelEstimateFile.h).
    SphinxEngine(SpeechModel model, DecoderOptions options, std::string levelsFile = {},
                 Check check = {});
    ~SphinxEngine();
    SphinxEngine(const SphinxEngine&) = delete;
    SphinxEngine& operator=(const SphinxEngine&) = delete;

    // Waits for the load: empty when the model is ready, else why it did not load.
    std::string waitUntilLoaded();
    // The load failed (false while it runs). Any thread.
    bool failed() const { return failed_.load(); }

    // Main thread. Queues an utterance for decoding.
    void start(const std::shared_ptr<Utterance>& utterance);
    // Time spent decoding so far, for measuring the real-time factor. Any thread.
    std::chrono::nanoseconds busyTime() const { return std::chrono::nanoseconds(busy_.load()); }

    // A piece of a dictation ends at the first pause the decoder hears after kSegmentMin of
    // audio, and without a pause at kSegmentMax.
    static constexpr std::size_t kSegmentMinBlocks = 10000 / 64; // 10 s of 64 ms blocks
    static constexpr std::size_t kSegmentMaxBlocks = 30000 / 64;

private:
    void run();
    std::string load();
    void decode(Utterance& utterance);
    void saveLevels();

    const SpeechModel model_;
    const DecoderOptions options_;
    const std::string levelsFile_;
    const Check check_;
    DecoderPtr decoder_;             // made and used on the engine's thread
    bool levelsWriteFailed_ = false; // decoder thread
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Utterance>> queue_;
    std::shared_ptr<Utterance> current_;
    bool stopping_ = false;
    std::atomic<bool> quitting_{false}; // stopping_, for a check in progress
    bool loaded_ = false;
    std::string loadError_;
    std::atomic<bool> failed_{false};
    std::atomic<int64_t> busy_{0};
    std::thread thread_;
};

} // namespace murmelin
