#pragma once

#include "ports/Defaults.h"

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace murmelin {

// The settings as one JSON object in a file, read once at construction and replaced
// atomically on every write. Keys it does not know are kept. A file it cannot parse, one
// larger than kMaxFileBytes, or one whose known keys hold values of the wrong type is moved
// aside (never overwritten) before the first write. Anything but a regular file (a link to a
// device, a pipe) is neither read nor replaced: the settings then live in memory only.
// Writes happen on a thread of the store's own, so no caller waits for the disk; later
// writes supersede earlier ones still queued. Main thread only, apart from that writer.
class JsonDefaultsStore final : public DefaultsStore {
public:
    static constexpr std::size_t kMaxFileBytes = 1 << 20;

    // `path` is the settings file; its directory is created on the first write. Temp files
    // that interrupted writes left beside it are removed.
    explicit JsonDefaultsStore(std::string path = defaultPath());
    // Finishes the write still queued.
    ~JsonDefaultsStore() override;
    JsonDefaultsStore(const JsonDefaultsStore&) = delete;
    JsonDefaultsStore& operator=(const JsonDefaultsStore&) = delete;

    // $XDG_CONFIG_HOME/murmelin/defaults.json, with ~/.config when that is unset or relative.
    static std::string defaultPath();
    // $XDG_CONFIG_HOME when absolute, else ~/.config.
    static std::string configHome();

    std::optional<std::vector<std::string>> stringArray(const std::string& key) const override;
    std::optional<std::string> string(const std::string& key) const override;
    std::optional<std::map<std::string, std::string>>
    stringMap(const std::string& key) const override;
    void set(const std::string& key, const std::string& value) override;
    void set(const std::string& key, const std::vector<std::string>& value) override;

    const std::string& path() const { return path_; }
    // Returns once everything set so far is on disk (or has failed and been logged).
    void flush();

private:
    void load();
    void removeStaleTempFiles() const;
    void save();
    void writeLoop();
    void write(const std::string& text);
    bool moveUnreadableAside();
    bool writeAtomically(const std::string& text, int& error);

    std::string path_;
    nlohmann::json values_ = nlohmann::json::object();
    bool readOnly_ = false; // not a regular file: never written

    // Shared with the writer thread.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<std::string> queued_; // the newest text not yet taken by the writer
    bool writing_ = false;
    bool stopping_ = false;
    std::thread writer_; // started by the first write

    // Writer thread only (after construction).
    bool unreadable_ = false; // the file holds something we could not read: keep it aside
    std::string unreadableReason_;
};

} // namespace murmelin
