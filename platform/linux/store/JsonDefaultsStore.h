#pragma once

#include "ports/Defaults.h"

#include <nlohmann/json.hpp>

#include <string>

namespace murmelin {

// The settings as one JSON object in a file, read once at construction and replaced
// atomically on every write. Keys it does not know are kept. A file it cannot parse is
// moved aside (never overwritten) before the first write. Main thread only.
class JsonDefaultsStore final : public DefaultsStore {
public:
    // `path` is the settings file; its directory is created on the first write.
    explicit JsonDefaultsStore(std::string path = defaultPath());

    // $XDG_CONFIG_HOME/murmelin/defaults.json, with ~/.config when that is unset or relative.
    static std::string defaultPath();

    std::optional<std::vector<std::string>> stringArray(const std::string& key) const override;
    std::optional<std::string> string(const std::string& key) const override;
    std::optional<std::map<std::string, std::string>>
    stringMap(const std::string& key) const override;
    void set(const std::string& key, const std::string& value) override;
    void set(const std::string& key, const std::vector<std::string>& value) override;

    const std::string& path() const { return path_; }

private:
    void load();
    void save();
    bool moveUnreadableAside();
    bool writeAtomically(const std::string& text, int& error);

    std::string path_;
    nlohmann::json values_ = nlohmann::json::object();
    bool unreadable_ = false; // the file holds something we could not read: keep it aside
};

} // namespace murmelin
