#include "SphinxEngine.h"

#include "DecoderBlocks.h"
#include "HypothesisFormat.h"
#include "LevelEstimateFile.h"

#include <malloc.h>
#include <pocketsphinx.h>

#include <chrono>
#include <cstdio>

namespace murmelin {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPartialInterval = std::chrono::milliseconds(100);

// The decoder's words for its current utterance, as it spells them.
std::string rawHypothesis(ps_decoder_t* decoder) {
    int32 score = 0;
    const char* hyp = ps_get_hyp(decoder, &score);
    return hyp ? hyp : "";
}

std::string joined(const std::string& before, const std::string& current) {
    return before.empty() || current.empty() ? before + current : before + " " + current;
}

} // namespace

Utterance::Utterance(std::shared_ptr<SphinxRequest> request, RecognitionHandler handler)
    : request_(std::move(request)), handler_(std::move(handler)) {}

void Utterance::deliver(std::optional<RecognitionResult> result,
                        std::optional<RecognitionError> error) {
    std::lock_guard lock(handlerMutex_);
    if (handler_) {
        handler_(std::move(result), std::move(error));
    }
}

void Utterance::cancel() {
    request_->cancel();
    std::lock_guard lock(handlerMutex_);
    handler_ = nullptr;
}

SphinxEngine::SphinxEngine(SpeechModel model, DecoderOptions options, std::string levelsFile,
                           Check check)
    : model_(std::move(model)), options_(options), levelsFile_(std::move(levelsFile)),
      check_(std::move(check)) {
    thread_ = std::thread([this] { run(); });
}

std::string SphinxEngine::load() {
    if (check_) {
        if (std::string why = check_(model_, quitting_); !why.empty()) {
            return why;
        }
    }
    try {
        decoder_ = createDecoder(model_, options_);
    } catch (const std::exception& e) {
        return e.what();
    }
    if (!levelsFile_.empty()) {
        removeStaleTemps(levelsFile_);
        // Missing on a first run; anything unusable gives way to the model's own default.
        const auto saved = readLevelEstimate(levelsFile_);
        if (saved && !setLevelEstimate(decoder_.get(), *saved)) {
            std::fprintf(stderr, "murmelin: ignoring %s: it does not fit the %s model\n",
                         levelsFile_.c_str(), model_.locale.c_str());
        }
    }
    return {};
}

std::string SphinxEngine::waitUntilLoaded() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [&] { return loaded_; });
    return loadError_;
}

SphinxEngine::~SphinxEngine() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        quitting_ = true;
        for (auto& utterance : queue_) {
            utterance->request().cancel();
        }
        if (current_) {
            current_->request().cancel();
        }
    }
    wake_.notify_all();
    thread_.join();
}

void SphinxEngine::start(const std::shared_ptr<Utterance>& utterance) {
    {
        std::lock_guard lock(mutex_);
        // Earlier dictations get no more audio: the decoder is needed for this one.
        if (current_) {
            current_->request().endAudio();
        }
        for (auto& earlier : queue_) {
            earlier->request().endAudio();
        }
        queue_.push_back(utterance);
    }
    wake_.notify_all();
}

void SphinxEngine::run() {
    std::string error = load();
    if (!error.empty() && !quitting_) {
        std::fprintf(stderr, "murmelin: speech recognizer for %s unavailable: %s\n",
                     model_.locale.c_str(), error.c_str());
    }
    {
        std::lock_guard lock(mutex_);
        loaded_ = true;
        loadError_ = error;
        failed_ = !error.empty();
    }
    wake_.notify_all();
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            current_.reset();
            wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (stopping_) {
                return;
            }
            current_ = queue_.front();
            queue_.pop_front();
        }
        if (failed_) {
            current_->deliver(std::nullopt, RecognitionError{error});
        } else {
            decode(*current_);
        }
    }
}

void SphinxEngine::decode(Utterance& utterance) {
    SphinxRequest& request = utterance.request();
    if (request.cancelled()) {
        return;
    }
    ps_decoder_t* decoder = decoder_.get();
    const auto timed = [&](auto&& call) {
        const auto began = Clock::now();
        const auto result = call();
        busy_ += (Clock::now() - began).count();
        return result;
    };
    bool open = false; // a decoder utterance is running
    const auto fail = [&](const char* what) {
        if (open) {
            ps_end_utt(decoder); // leaves the decoder ready for the next utterance
            open = false;
        }
        utterance.deliver(std::nullopt, RecognitionError{what});
        return false;
    };
    std::string finished; // the words of the pieces already ended
    std::size_t pieceBlocks = 0;
    const auto startPiece = [&] {
        open = ps_start_utt(decoder) >= 0;
        pieceBlocks = 0;
        return open || fail("The recogniser could not start");
    };
    const auto endPiece = [&] {
        open = false;
        if (timed([&] { return ps_end_utt(decoder); }) < 0) {
            return fail("The recogniser failed");
        }
        finished = joined(finished, rawHypothesis(decoder));
        return true;
    };
    const auto process = [&](std::span<const int16_t> samples) {
        if (timed([&] {
                return ps_process_raw(decoder, samples.data(), samples.size(), FALSE, FALSE);
            }) < 0) {
            return fail("The recogniser failed");
        }
        // Cut where the speaker pauses, so a long dictation is decoded piece by piece.
        if (options_.cutAtPauses &&
            (++pieceBlocks >= kSegmentMaxBlocks ||
             (pieceBlocks >= kSegmentMinBlocks && !ps_get_in_speech(decoder)))) {
            return endPiece() && startPiece();
        }
        return true;
    };
    if (!startPiece()) {
        return;
    }
    std::vector<int16_t> audio;
    DecoderBlocks blocks;
    std::string reported;
    auto lastPartial = Clock::now();
    for (;;) {
        const auto taken = request.take(audio);
        if (taken == SphinxRequest::Take::cancelled) {
            ps_end_utt(decoder); // leaves the decoder ready for the next utterance
            return;
        }
        if (taken == SphinxRequest::Take::ended) {
            break;
        }
        const std::size_t before = blocks.processed();
        if (!blocks.add(audio, process)) {
            return;
        }
        const auto now = Clock::now();
        if (blocks.processed() > before && now - lastPartial >= kPartialInterval) {
            lastPartial = now;
            std::string text = formatHypothesis(joined(finished, rawHypothesis(decoder)));
            if (text != reported) {
                reported = text;
                utterance.deliver(RecognitionResult{std::move(text), false}, std::nullopt);
            }
        }
    }
    if (const auto rest = blocks.rest(); !rest.empty() && !process(rest)) {
        return;
    }
    if (!endPiece()) {
        return;
    }
    utterance.deliver(RecognitionResult{formatHypothesis(finished), true}, std::nullopt);
    saveLevels();
    // The search's tables of a long dictation were freed: hand the memory back.
    ::malloc_trim(0);
}

void SphinxEngine::saveLevels() {
    if (levelsFile_.empty()) {
        return;
    }
    std::string why;
    if (!writeLevelEstimate(levelsFile_, levelEstimate(decoder_.get()), why) &&
        !levelsWriteFailed_) {
        levelsWriteFailed_ = true; // said once: the next dictations would only repeat it
        std::fprintf(stderr, "murmelin: level estimate not kept: %s\n", why.c_str());
    }
}

} // namespace murmelin
