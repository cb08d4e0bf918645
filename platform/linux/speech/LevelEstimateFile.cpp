#include "LevelEstimateFile.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace murmelin {
namespace {

constexpr const char* kHeader = "murmelin-levels 1";
constexpr std::uintmax_t kMaxSize = 4096;
constexpr std::size_t kMaxValues = 64;
// Cepstral means of speech are a few tens at most; anything far beyond is not an estimate.
constexpr float kMaxMagnitude = 1000;

} // namespace

std::string settingsDirectory() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') {
        return std::string(xdg) + "/murmelin";
    }
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* pw = ::getpwuid(::getuid());
        home = pw ? pw->pw_dir : "/";
    }
    return std::string(home) + "/.config/murmelin";
}

std::string levelEstimatePath(const std::string& directory, const std::string& locale) {
    return directory + "/levels-" + locale + ".txt";
}

std::optional<std::vector<float>> readLevelEstimate(const std::string& path) {
    std::error_code ec;
    // Only a small regular file: a device or a fifo in its place must not block the start.
    if (!std::filesystem::is_regular_file(path, ec) ||
        std::filesystem::file_size(path, ec) > kMaxSize || ec) {
        return std::nullopt;
    }
    std::ifstream in(path);
    std::string header, line;
    if (!std::getline(in, header) || header != kHeader || !std::getline(in, line)) {
        return std::nullopt;
    }
    std::vector<float> values;
    std::istringstream numbers(line);
    for (std::string word; numbers >> word;) {
        char* end = nullptr;
        const float v = std::strtof(word.c_str(), &end);
        if (end != word.c_str() + word.size() || !std::isfinite(v) ||
            std::fabs(v) > kMaxMagnitude || values.size() == kMaxValues) {
            return std::nullopt;
        }
        values.push_back(v);
    }
    if (values.empty()) {
        return std::nullopt;
    }
    return values;
}

bool writeLevelEstimate(const std::string& path, const std::vector<float>& estimate,
                        std::string& why) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    if (ec) {
        why = "cannot create the folder of " + path + ": " + ec.message();
        return false;
    }
    std::ostringstream text;
    text << kHeader << '\n';
    char number[32];
    for (std::size_t i = 0; i < estimate.size(); ++i) {
        std::snprintf(number, sizeof number, "%s%.9g", i ? " " : "", estimate[i]);
        text << number;
    }
    text << '\n';
    return replaceFile(path, text.str(), why);
}

bool replaceFile(const std::string& path, const std::string& text, std::string& why) {
    const std::string temp = path + ".tmp-" + std::to_string(::getpid());
    std::error_code ec;
    {
        std::ofstream out(temp, std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            why = "cannot write " + temp;
            std::filesystem::remove(temp, ec);
            return false;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        why = "cannot replace " + path + ": " + std::strerror(errno);
        std::filesystem::remove(temp, ec);
        return false;
    }
    return true;
}

void removeStaleTemps(const std::string& path) {
    namespace fs = std::filesystem;
    const fs::path file(path);
    const std::string prefix = file.filename().string() + ".tmp-";
    std::error_code ec;
    for (fs::directory_iterator it(file.parent_path(), ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) != 0) {
            continue;
        }
        char* rest = nullptr;
        const long pid = std::strtol(name.c_str() + prefix.size(), &rest, 10);
        const bool ours = pid > 0 && *rest == '\0';
        if (ours &&
            (pid == ::getpid() || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)) {
            continue; // a write in progress
        }
        if (ours && it->is_regular_file(ec)) {
            std::error_code ignored;
            fs::remove(it->path(), ignored);
        }
    }
}

} // namespace murmelin
