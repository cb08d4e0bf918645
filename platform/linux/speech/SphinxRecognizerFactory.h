#pragma once

#include "ModelCatalog.h"
#include "SphinxEngine.h"
#include "ports/Speech.h"

#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace murmelin {

// Recognisers over the installed pocketsphinx models (see ModelCatalog.h for where they
// are looked for). Each locale's model is loaded once, on first use, and kept, so that a
// dictation starts without waiting for a load. Main thread.
class SphinxRecognizerFactory final : public SpeechRecognizerFactory {
public:
    struct Options {
        std::string systemModelDirectory = murmelin::systemModelDirectory();
        std::string userModelRoot = murmelin::userModelRoot();
        DecoderOptions decoder;
        // Loaded at once on a background thread when installed; empty for none.
        std::string preloadLocale;
    };

    // The installed models; the only one is preloaded when there is just one.
    SphinxRecognizerFactory();
    explicit SphinxRecognizerFactory(Options options);
    // Waits for a preload that is still running.
    ~SphinxRecognizerFactory() override;

    std::vector<std::string> supportedLocales() const override;
    // Null when no model is installed for `locale`; a recogniser that is unavailable when the
    // model is installed but fails to load. Blocks while the model loads.
    std::shared_ptr<SpeechRecognizer> make(const std::string& locale) override;

    // Why the locale's model failed to load, or empty.
    std::string loadError(const std::string& locale);

private:
    struct Loaded {
        std::shared_ptr<SphinxEngine> engine;
        std::string error;
    };
    const SpeechModel* find(const std::string& locale) const;
    std::shared_future<Loaded> load(const SpeechModel& model, std::launch policy);

    Options options_;
    std::vector<SpeechModel> models_;
    std::map<std::string, std::shared_future<Loaded>> engines_;
};

} // namespace murmelin
