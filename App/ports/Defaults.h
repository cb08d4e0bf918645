#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace murmelin {

// The per-user key-value store behind the two settings. Main thread only.
class DefaultsStore {
public:
    virtual ~DefaultsStore() = default;
    // The value under `key` if it is an array of strings; nothing if absent or of another type.
    virtual std::optional<std::vector<std::string>> stringArray(const std::string& key) const = 0;
    // The value under `key` if it is a string; nothing if absent or of another type.
    virtual std::optional<std::string> string(const std::string& key) const = 0;
    // The value under `key` if it is an object: its members whose values are strings (others
    // are left out); nothing if absent or of another type.
    virtual std::optional<std::map<std::string, std::string>>
    stringMap(const std::string& key) const = 0;
    // Store and persist. A failed write is the store's to log; callers go on regardless.
    virtual void set(const std::string& key, const std::string& value) = 0;
    virtual void set(const std::string& key, const std::vector<std::string>& value) = 0;
};

} // namespace murmelin
