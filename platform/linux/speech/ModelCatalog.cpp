#include "ModelCatalog.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <system_error>

namespace murmelin {
namespace fs = std::filesystem;
namespace {

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Directory entries sorted by name, so the choice among several candidates is stable.
std::vector<fs::path> sortedEntries(const fs::path& dir) {
    std::vector<fs::path> entries;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        entries.push_back(it->path());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

} // namespace

std::string systemModelDirectory() {
    return "/usr/share/pocketsphinx/model/en-us";
}

std::string userModelRoot() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data == '/') {
        return std::string(data) + "/murmelin/models";
    }
    if (const char* home = std::getenv("HOME"); home && *home) {
        return std::string(home) + "/.local/share/murmelin/models";
    }
    return {};
}

std::string normalizeLocale(const std::string& locale) {
    std::string out;
    bool region = false;
    for (char c : locale) {
        if (c == '_' || c == '-') {
            out += '-';
            region = true;
            continue;
        }
        const auto u = static_cast<unsigned char>(c);
        out += static_cast<char>(region ? std::toupper(u) : std::tolower(u));
    }
    return out;
}

std::optional<SpeechModel> readModelDirectory(const std::string& directory,
                                              const std::string& locale) {
    SpeechModel model;
    model.locale = normalizeLocale(locale);
    model.directory = directory;
    std::string plainLm;
    std::error_code ec;
    for (const auto& entry : sortedEntries(directory)) {
        const std::string name = entry.filename().string();
        if (fs::is_directory(entry, ec)) {
            if (model.acousticModel.empty() && fs::exists(entry / "mdef", ec)) {
                model.acousticModel = entry.string();
            }
            continue;
        }
        if (name.find("-phone.") != std::string::npos) {
            continue;
        }
        if (endsWith(name, ".lm.bin") && model.languageModel.empty()) {
            model.languageModel = entry.string();
        } else if (endsWith(name, ".lm") && plainLm.empty()) {
            plainLm = entry.string();
        } else if (endsWith(name, ".dict") && model.dictionary.empty()) {
            model.dictionary = entry.string();
        }
    }
    if (model.acousticModel.empty()) {
        return std::nullopt;
    }
    if (model.languageModel.empty()) {
        model.languageModel = plainLm; // the binary form loads faster, so it wins
    }
    return model;
}

std::vector<SpeechModel> findModels(const std::string& systemDirectory,
                                    const std::string& userRoot) {
    std::map<std::string, SpeechModel> byLocale;
    if (!systemDirectory.empty()) {
        if (auto model = readModelDirectory(systemDirectory, "en-US")) {
            byLocale[model->locale] = *model;
        }
    }
    if (!userRoot.empty()) {
        std::error_code ec;
        for (const auto& entry : sortedEntries(userRoot)) {
            if (!fs::is_directory(entry, ec)) {
                continue;
            }
            if (auto model = readModelDirectory(entry.string(), entry.filename().string())) {
                byLocale[model->locale] = *model;
            }
        }
    }
    std::vector<SpeechModel> models;
    for (auto& [locale, model] : byLocale) {
        models.push_back(std::move(model));
    }
    return models;
}

} // namespace murmelin
