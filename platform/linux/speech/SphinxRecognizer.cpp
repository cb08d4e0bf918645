#include "SphinxRecognizer.h"

namespace murmelin {

SphinxRecognizer::SphinxRecognizer(std::shared_ptr<SphinxEngine> engine)
    : engine_(std::move(engine)) {}

std::shared_ptr<RecognitionRequest> SphinxRecognizer::makeRequest() {
    return std::make_shared<SphinxRequest>();
}

std::shared_ptr<RecognitionTask>
SphinxRecognizer::recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                  RecognitionHandler handler) {
    auto ours = std::dynamic_pointer_cast<SphinxRequest>(request);
    if (!ours) {
        ours = std::make_shared<SphinxRequest>();
        ours->cancel();
        if (handler) {
            handler(std::nullopt, RecognitionError{"The request was not made by this recogniser"});
        }
    } else if (!isAvailable()) {
        if (handler) {
            handler(std::nullopt, RecognitionError{"Speech recognizer is unavailable."});
        }
        ours->cancel();
    }
    auto utterance = std::make_shared<Utterance>(ours, std::move(handler));
    if (engine_ && !ours->cancelled()) {
        engine_->start(utterance);
    }
    return std::make_shared<SphinxTask>(std::move(utterance));
}

void SphinxTask::cancel() {
    utterance_->cancel();
}

} // namespace murmelin
