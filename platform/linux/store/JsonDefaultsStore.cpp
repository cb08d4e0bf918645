#include "JsonDefaultsStore.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <utility>

namespace murmelin {

namespace {

// Owns a file descriptor; close() reports the error a late write may surface there.
class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { close(); }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int close() { return fd_ < 0 ? 0 : ::close(std::exchange(fd_, -1)); }

private:
    int fd_;
};

std::string directoryOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// Creates `dir` and its missing parents, private to the user as XDG asks.
bool makeDirectories(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        errno = ENOTDIR;
        return false;
    }
    if (errno != ENOENT)
        return false;
    std::string parent = directoryOf(dir);
    if (parent != dir && !makeDirectories(parent))
        return false;
    return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string utcStamp() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &tm);
    return buf;
}

// Writes go to the file a symlink points at, so a settings file kept elsewhere (for example
// by a dotfiles manager) stays linked instead of being replaced by a copy.
std::string resolved(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : path;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

} // namespace

JsonDefaultsStore::JsonDefaultsStore(std::string path) : path_(std::move(path)) {
    load();
}

std::string JsonDefaultsStore::defaultPath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) {
            const passwd* pw = ::getpwuid(::getuid());
            home = pw ? pw->pw_dir : "/";
        }
        base = std::string(home) + "/.config";
    }
    return base + "/murmelin/defaults.json";
}

void JsonDefaultsStore::load() {
    UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        // Absent is a fresh installation; anything else we cannot read must not be replaced.
        unreadable_ = errno != ENOENT;
        return;
    }
    std::string text;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            unreadable_ = true;
            return;
        }
        if (n == 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    auto parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_object()) {
        values_ = std::move(parsed);
    } else {
        unreadable_ = true;
    }
}

std::optional<std::vector<std::string>>
JsonDefaultsStore::stringArray(const std::string& key) const {
    auto it = values_.find(key);
    if (it == values_.end() || !it->is_array())
        return std::nullopt;
    std::vector<std::string> out;
    out.reserve(it->size());
    for (const auto& element : *it) {
        if (!element.is_string())
            return std::nullopt;
        out.push_back(element.get<std::string>());
    }
    return out;
}

std::optional<std::string> JsonDefaultsStore::string(const std::string& key) const {
    auto it = values_.find(key);
    if (it == values_.end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
}

std::optional<std::map<std::string, std::string>>
JsonDefaultsStore::stringMap(const std::string& key) const {
    auto it = values_.find(key);
    if (it == values_.end() || !it->is_object())
        return std::nullopt;
    std::map<std::string, std::string> out;
    for (const auto& [name, value] : it->items()) {
        if (value.is_string())
            out.emplace(name, value.get<std::string>());
    }
    return out;
}

void JsonDefaultsStore::set(const std::string& key, const std::string& value) {
    values_[key] = value;
    save();
}

void JsonDefaultsStore::set(const std::string& key, const std::vector<std::string>& value) {
    values_[key] = value;
    save();
}

void JsonDefaultsStore::save() {
    int error = 0;
    if (!makeDirectories(directoryOf(path_))) {
        error = errno;
    } else if (unreadable_ && !moveUnreadableAside()) {
        error = errno;
    } else {
        // Invalid UTF-8 is replaced rather than thrown on: a setting must never crash us.
        std::string text =
            values_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
        if (writeAtomically(text, error))
            return;
    }
    std::fprintf(stderr, "murmelin: cannot save settings to %s: %s\n", path_.c_str(),
                 std::strerror(error));
}

bool JsonDefaultsStore::moveUnreadableAside() {
    const std::string target = resolved(path_);
    const std::string stem = target + ".corrupt-" + utcStamp();
    std::string aside = stem;
    for (int n = 1; exists(aside); ++n)
        aside = stem + "-" + std::to_string(n);
    if (::rename(target.c_str(), aside.c_str()) != 0 && errno != ENOENT)
        return false;
    unreadable_ = false;
    std::fprintf(stderr, "murmelin: settings file %s could not be read; kept as %s\n",
                 path_.c_str(), aside.c_str());
    return true;
}

bool JsonDefaultsStore::writeAtomically(const std::string& text, int& error) {
    const std::string target = resolved(path_);
    std::string temp = target + ".XXXXXX";
    UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC)); // 0600: the history is private
    if (!fd.valid()) {
        error = errno;
        return false;
    }
    bool ok = writeAll(fd.get(), text) && ::fsync(fd.get()) == 0 && fd.close() == 0 &&
              ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        error = errno;
        ::unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable; a failure here loses nothing already written.
    UniqueFd dir(::open(directoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid())
        ::fsync(dir.get());
    return true;
}

} // namespace murmelin
