#include "SphinxRecognizerFactory.h"

#include "SphinxRecognizer.h"

#include <chrono>
#include <stdexcept>

namespace murmelin {

SphinxRecognizerFactory::SphinxRecognizerFactory() : SphinxRecognizerFactory(Options{}) {
    // With a single model installed (the usual case) it is the one the first dictation needs.
    if (engines_.empty() && models_.size() == 1) {
        engines_[models_.front().locale] = load(models_.front(), std::launch::async);
    }
}

SphinxRecognizerFactory::SphinxRecognizerFactory(Options options)
    : options_(std::move(options)),
      models_(findModels(options_.systemModelDirectory, options_.userModelRoot)) {
    if (const SpeechModel* model = find(options_.preloadLocale)) {
        engines_[model->locale] = load(*model, std::launch::async);
    }
}

SphinxRecognizerFactory::~SphinxRecognizerFactory() {
    for (auto& [locale, loaded] : engines_) {
        // A deferred load that never ran must not run now.
        if (loaded.wait_for(std::chrono::seconds(0)) != std::future_status::deferred) {
            loaded.wait();
        }
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

std::shared_future<SphinxRecognizerFactory::Loaded>
SphinxRecognizerFactory::load(const SpeechModel& model, std::launch policy) {
    return std::async(policy,
                      [model, decoder = options_.decoder] {
                          try {
                              return Loaded{std::make_shared<SphinxEngine>(model, decoder), {}};
                          } catch (const std::exception& e) {
                              return Loaded{nullptr, e.what()};
                          }
                      })
        .share();
}

std::shared_ptr<SpeechRecognizer> SphinxRecognizerFactory::make(const std::string& locale) {
    const SpeechModel* model = find(locale);
    if (!model) {
        return nullptr;
    }
    auto it = engines_.find(model->locale);
    if (it == engines_.end()) {
        it = engines_.emplace(model->locale, load(*model, std::launch::deferred)).first;
    }
    return std::make_shared<SphinxRecognizer>(it->second.get().engine);
}

std::string SphinxRecognizerFactory::loadError(const std::string& locale) {
    const SpeechModel* model = find(locale);
    if (!model) {
        return "No speech model is installed for " + locale;
    }
    auto it = engines_.find(model->locale);
    return it == engines_.end() ? std::string() : it->second.get().error;
}

} // namespace murmelin
