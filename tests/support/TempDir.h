#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace murmelin::test {

/// A fresh folder of its own under the temporary directory for the life of the object, removed
/// with all it holds. Made by mkdtemp, so tests run side by side (or under several sanitizers)
/// never share one.
class TempDir {
public:
    explicit TempDir(const std::string& name = "test") {
        std::string pattern =
            (std::filesystem::temp_directory_path() / ("murmelin-" + name + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot create a temporary folder " + pattern);
        path_ = pattern;
    }
    ~TempDir() {
        if (keep_)
            return;
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    /// Leaves the folder in place for inspection.
    void keep() { keep_ = true; }

private:
    std::filesystem::path path_;
    bool keep_ = false;
};

} // namespace murmelin::test
