#include "SphinxRecognizerFactory.h"

#include "SphinxRecognizer.h"

#include "LevelEstimateFile.h"

namespace murmelin {

namespace {

SphinxRecognizerFactory::Options programOptions() {
    SphinxRecognizerFactory::Options options;
    options.levelsDirectory = settingsDirectory();
    return options;
}

} // namespace

SphinxRecognizerFactory::SphinxRecognizerFactory() : SphinxRecognizerFactory(programOptions()) {
    // With a single model installed (the usual case) it is the one the first dictation needs.
    if (engines_.empty() && models_.size() == 1) {
        engine(models_.front());
    }
}

SphinxRecognizerFactory::SphinxRecognizerFactory(Options options)
    : options_(std::move(options)),
      models_(findModels(options_.systemModelDirectory, options_.userModelRoot)) {
    if (const SpeechModel* model = find(options_.preloadLocale)) {
        engine(*model);
    }
}

std::vector<std::string> SphinxRecognizerFactory::supportedLocales() const {
    std::vector<std::string> locales;
    for (const auto& model : models_) {
        locales.push_back(model.locale);
    }
    return locales;
}

const SpeechModel* SphinxRecognizerFactory::find(const std::string& locale) const {
    if (locale.empty()) {
        return nullptr;
    }
    const std::string wanted = normalizeLocale(locale);
    for (const auto& model : models_) {
        if (model.locale == wanted) {
            return &model;
        }
    }
    return nullptr;
}

std::shared_ptr<SphinxEngine> SphinxRecognizerFactory::engine(const SpeechModel& model) {
    auto& engine = engines_[model.locale];
    if (!engine) {
        SphinxEngine::Check check;
        if (options_.check) {
            check = [options = *options_.check](const SpeechModel& m,
                                                const std::atomic<bool>& stop) {
                return checkModel(m, options, &stop);
            };
        }
        engine = std::make_shared<SphinxEngine>(
            model, options_.decoder,
            options_.levelsDirectory.empty()
                ? std::string()
                : levelEstimatePath(options_.levelsDirectory, model.locale),
            std::move(check));
    }
    return engine;
}

std::shared_ptr<SpeechRecognizer> SphinxRecognizerFactory::make(const std::string& locale) {
    const SpeechModel* model = find(locale);
    return model ? std::make_shared<SphinxRecognizer>(engine(*model)) : nullptr;
}

std::string SphinxRecognizerFactory::loadError(const std::string& locale) {
    const SpeechModel* model = find(locale);
    if (!model) {
        return "No speech model is installed for " + locale;
    }
    return engine(*model)->waitUntilLoaded();
}

} // namespace murmelin
