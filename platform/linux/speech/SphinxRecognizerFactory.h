#pragma once

#include "ModelCatalog.h"
#include "ModelCheck.h"
#include "SphinxEngine.h"
#include "ports/Speech.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace murmelin {

// Recognisers over the installed pocketsphinx models (see ModelCatalog.h for where they
// are looked for). Each locale's model is checked (ModelCheck.h) and loaded once, on its
// engine's thread from the first use, and kept, so that a dictation starts without waiting
// for a load. Main thread.
class SphinxRecognizerFactory final : public SpeechRecognizerFactory {
public:
    struct Options {
        std::string systemModelDirectory = murmelin::systemModelDirectory();
        std::string userModelRoot = murmelin::userModelRoot();
        DecoderOptions decoder;
        // Loaded at once on a background thread when installed; empty for none.
        std::string preloadLocale;
        // Where each locale's level estimate is kept (LevelEstimateFile.h); empty for nowhere.
        std::string levelsDirectory;
        // Without a checker, models are loaded unchecked.
        std::optional<ModelCheckOptions> check = ModelCheckOptions{};
    };

    // The installed models; the only one is preloaded when there is just one. Level
    // estimates are kept beside the settings.
    SphinxRecognizerFactory();
    explicit SphinxRecognizerFactory(Options options);

    std::vector<std::string> supportedLocales() const override;
    // Null when no model is installed for `locale`; a recogniser that becomes unavailable when
    // the model is installed but fails to load. Never waits for the load.
    std::shared_ptr<SpeechRecognizer> make(const std::string& locale) override;

    // Waits for the locale's model to load: why it failed, or empty.
    std::string loadError(const std::string& locale);

private:
    const SpeechModel* find(const std::string& locale) const;
    std::shared_ptr<SphinxEngine> engine(const SpeechModel& model);

    Options options_;
    std::vector<SpeechModel> models_;
    std::map<std::string, std::shared_ptr<SphinxEngine>> engines_;
};

} // namespace murmelin
