#include "JsonDefaultsStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>
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
// by a dotfiles manager) stays linked instead of being replaced by a copy. Only a regular file
// is followed: renaming onto or away from a device node would damage the system.
std::string resolved(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    struct stat st {};
    if (!real || ::stat(real.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return path;
    return real.get();
}

std::string baseNameOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// mkostemp's suffix: six letters or digits.
bool isTempSuffix(std::string_view suffix) {
    if (suffix.size() != 6)
        return false;
    for (char c : suffix) {
        bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum)
            return false;
    }
    return true;
}

const char* kindOf(mode_t mode) {
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISFIFO(mode))
        return "a pipe";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

} // namespace

JsonDefaultsStore::JsonDefaultsStore(std::string path) : path_(std::move(path)) {
    load();
    removeStaleTempFiles();
}

JsonDefaultsStore::~JsonDefaultsStore() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (writer_.joinable())
        writer_.join();
}

std::string JsonDefaultsStore::defaultPath() {
    return configHome() + "/murmelin/defaults.json";
}

std::string JsonDefaultsStore::configHome() {
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
    return base;
}

void JsonDefaultsStore::load() {
    // Non-blocking, so that a pipe without a writer cannot hold up the start.
    UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid()) {
        // Absent is a fresh installation; anything else we cannot read must not be replaced.
        unreadable_ = errno != ENOENT;
        unreadableReason_ = std::strerror(errno);
        return;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        readOnly_ = true;
        std::fprintf(stderr,
                     "murmelin: settings file %s is %s; settings are kept for this run only\n",
                     path_.c_str(), kindOf(st.st_mode));
        return;
    }
    std::string text;
    char buf[8192];
    while (text.size() <= kMaxFileBytes) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            unreadable_ = true;
            unreadableReason_ = std::strerror(errno);
            return;
        }
        if (n == 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    if (text.size() > kMaxFileBytes) {
        unreadable_ = true;
        unreadableReason_ = "larger than " + std::to_string(kMaxFileBytes) + " bytes";
        return;
    }
    auto parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object()) {
        unreadable_ = true;
        unreadableReason_ = "not a JSON object";
        return;
    }
    values_ = std::move(parsed);
    // A known key of the wrong type reads as absent, so the next write would replace it:
    // keep the file as it was, as for one that does not parse.
    auto history = values_.find("history");
    bool historyBad = history != values_.end() &&
                      (!history->is_array() ||
                       !std::all_of(history->begin(), history->end(),
                                    [](const nlohmann::json& e) { return e.is_string(); }));
    auto locale = values_.find("locale");
    bool localeBad = locale != values_.end() && !locale->is_string();
    if (historyBad || localeBad) {
        unreadable_ = true;
        unreadableReason_ =
            historyBad ? "\"history\" is not a list of texts" : "\"locale\" is not a text";
    }
}

void JsonDefaultsStore::removeStaleTempFiles() const {
    if (readOnly_)
        return;
    const std::string target = resolved(path_);
    const std::string dir = directoryOf(target);
    const std::string prefix = baseNameOf(target) + ".";
    struct CloseDir {
        void operator()(DIR* d) const { ::closedir(d); }
    };
    std::unique_ptr<DIR, CloseDir> listing(::opendir(dir.c_str()));
    if (!listing)
        return;
    // One instance runs per session, so a temp file here is a write that never finished.
    while (const dirent* entry = ::readdir(listing.get())) {
        std::string_view name = entry->d_name;
        if (name.size() != prefix.size() + 6 || name.substr(0, prefix.size()) != prefix ||
            !isTempSuffix(name.substr(prefix.size())))
            continue;
        const std::string path = dir + "/" + std::string(name);
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            ::unlink(path.c_str());
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
    if (readOnly_)
        return;
    // Invalid UTF-8 is replaced rather than thrown on: a setting must never crash us.
    std::string text = values_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    {
        std::lock_guard lock(mutex_);
        queued_ = std::move(text);
        if (!writer_.joinable())
            writer_ = std::thread([this] { writeLoop(); });
    }
    changed_.notify_all();
}

void JsonDefaultsStore::flush() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !queued_ && !writing_; });
}

void JsonDefaultsStore::writeLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return queued_ || stopping_; });
        if (!queued_)
            return; // stopping, and everything is written
        std::string text = std::move(*queued_);
        queued_.reset();
        writing_ = true;
        lock.unlock();
        write(text);
        lock.lock();
        writing_ = false;
        changed_.notify_all();
    }
}

void JsonDefaultsStore::write(const std::string& text) {
    int error = 0;
    if (!makeDirectories(directoryOf(path_))) {
        error = errno;
    } else if (unreadable_ && !moveUnreadableAside()) {
        error = errno;
    } else if (writeAtomically(text, error)) {
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
    std::fprintf(stderr, "murmelin: settings file %s could not be read (%s); kept as %s\n",
                 path_.c_str(), unreadableReason_.c_str(), aside.c_str());
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
