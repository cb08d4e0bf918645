#pragma once

#include "SphinxEngine.h"
#include "ports/Speech.h"

#include <memory>

namespace murmelin {

// A recogniser for one locale. It shares its locale's loaded engine with every other
// recogniser of that locale; without an engine, or when its model failed to load, it is
// unavailable. While the model is still loading it is available: a dictation started then is
// decoded once the load is done (or ends with the reason it failed).
class SphinxRecognizer final : public SpeechRecognizer {
public:
    explicit SphinxRecognizer(std::shared_ptr<SphinxEngine> engine);

    bool isAvailable() const override { return engine_ && !engine_->failed(); }
    bool supportsOnDeviceRecognition() const override { return true; }
    std::shared_ptr<RecognitionRequest> makeRequest() override;
    // The handler is called on the engine's decoder thread.
    std::shared_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                     RecognitionHandler handler) override;

private:
    std::shared_ptr<SphinxEngine> engine_;
};

// Dropping a task does not stop it; cancel() does.
class SphinxTask final : public RecognitionTask {
public:
    explicit SphinxTask(std::shared_ptr<Utterance> utterance) : utterance_(std::move(utterance)) {}
    void cancel() override;

private:
    std::shared_ptr<Utterance> utterance_;
};

} // namespace murmelin
