#include "SphinxEngine.h"

#include "DecoderBlocks.h"
#include "HypothesisFormat.h"
#include "LanguageModel.h"

#include <pocketsphinx.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>

namespace murmelin {
namespace {

constexpr auto kPartialInterval = std::chrono::milliseconds(100);

struct ConfigDeleter {
    void operator()(cmd_ln_t* config) const { cmd_ln_free_r(config); }
};

std::string hypothesis(ps_decoder_t* decoder) {
    int32 score = 0;
    const char* hyp = ps_get_hyp(decoder, &score);
    return hyp ? formatHypothesis(hyp) : std::string();
}

void requireFile(const std::string& path, const char* what, const std::string& locale) {
    std::error_code ec;
    if (path.empty() || !std::filesystem::exists(path, ec)) {
        throw std::runtime_error("The " + locale + " speech model has no " + what);
    }
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

void SphinxEngine::DecoderDeleter::operator()(ps_decoder_t* decoder) const {
    ps_free(decoder);
}

SphinxEngine::SphinxEngine(const SpeechModel& model, const DecoderOptions& options) {
    // pocketsphinx ends the process on some missing files instead of failing: check first.
    requireFile(model.acousticModel + "/mdef", "acoustic model", model.locale);
    requireFile(model.languageModel, "language model", model.locale);
    requireFile(model.dictionary, "dictionary", model.locale);
    const std::string maxhmmpf = std::to_string(options.maxhmmpf);
    std::unique_ptr<cmd_ln_t, ConfigDeleter> config(cmd_ln_init(
        nullptr, ps_args(), TRUE, "-hmm", model.acousticModel.c_str(), "-dict",
        model.dictionary.c_str(), "-logfn", "/dev/null", "-fwdflat", options.fwdflat ? "yes" : "no",
        "-bestpath", options.bestpath ? "yes" : "no", "-maxhmmpf", maxhmmpf.c_str(), nullptr));
    if (!config) {
        throw std::runtime_error("The " + model.locale + " speech model has invalid settings");
    }
    decoder_.reset(ps_init(config.get()));
    if (!decoder_) {
        throw std::runtime_error("The " + model.locale + " speech model cannot be loaded");
    }
    if (!configureLanguageModel(decoder_.get(), config.get(), model.languageModel)) {
        throw std::runtime_error("The " + model.locale + " language model cannot be loaded");
    }
    thread_ = std::thread([this] { run(); });
}

SphinxEngine::~SphinxEngine() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (auto& utterance : queue_) {
            utterance->request().cancel();
        }
        if (current_) {
            current_->request().cancel();
        }
    }
    wake_.notify_one();
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
    wake_.notify_one();
}

void SphinxEngine::run() {
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
        decode(*current_);
    }
}

void SphinxEngine::decode(Utterance& utterance) {
    using Clock = std::chrono::steady_clock;
    SphinxRequest& request = utterance.request();
    if (request.cancelled()) {
        return;
    }
    ps_decoder_t* decoder = decoder_.get();
    if (ps_start_utt(decoder) < 0) {
        utterance.deliver(std::nullopt, RecognitionError{"The recogniser could not start"});
        return;
    }
    std::vector<int16_t> audio;
    DecoderBlocks blocks;
    std::string reported;
    auto lastPartial = Clock::now();
    const auto process = [&](const int16_t* samples, std::size_t count) {
        const auto began = Clock::now();
        const bool ok = ps_process_raw(decoder, samples, count, FALSE, FALSE) >= 0;
        busy_ += (Clock::now() - began).count();
        if (!ok) {
            ps_end_utt(decoder);
            utterance.deliver(std::nullopt, RecognitionError{"The recogniser failed"});
        }
        return ok;
    };
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
        if (!blocks.add(audio, [&](std::span<const int16_t> block) {
                return process(block.data(), block.size());
            })) {
            return;
        }
        const auto now = Clock::now();
        if (blocks.processed() > before && now - lastPartial >= kPartialInterval) {
            lastPartial = now;
            std::string text = hypothesis(decoder);
            if (text != reported) {
                reported = text;
                utterance.deliver(RecognitionResult{std::move(text), false}, std::nullopt);
            }
        }
    }
    if (const auto rest = blocks.rest(); !rest.empty() && !process(rest.data(), rest.size())) {
        return;
    }
    const auto began = Clock::now();
    const int ended = ps_end_utt(decoder);
    busy_ += (Clock::now() - began).count();
    if (ended < 0) {
        utterance.deliver(std::nullopt, RecognitionError{"The recogniser failed"});
        return;
    }
    utterance.deliver(RecognitionResult{hypothesis(decoder), true}, std::nullopt);
}

} // namespace murmelin
