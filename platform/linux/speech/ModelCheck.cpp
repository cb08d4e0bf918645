#include "ModelCheck.h"

#include "InstallLayout.h"
#include "LanguageModel.h"
#include "LevelEstimateFile.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <vector>

extern char** environ;

namespace murmelin {
namespace fs = std::filesystem;
namespace {

constexpr const char* kChecker = "murmelin-check-model";
constexpr std::size_t kMaxOutput = 16384; // the tail of the child's log that is kept
constexpr std::size_t kMaxVerdicts = 64;
// Several engines may check at once: the record is read and written under one lock.
std::mutex verdictsMutex;

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

// What identifies the model as loaded: every file the decoder reads, with size and time.
std::string identity(const SpeechModel& model) {
    std::vector<std::string> files{model.languageModel, model.dictionary,
                                   favouredModelFor(model.languageModel)};
    std::error_code ec;
    for (fs::directory_iterator it(model.acousticModel, ec), end; !ec && it != end;
         it.increment(ec)) {
        files.push_back(it->path().string());
    }
    std::sort(files.begin(), files.end());
    std::string text;
    for (const auto& file : files) {
        struct stat st {};
        if (file.empty() || ::stat(file.c_str(), &st) != 0) {
            continue;
        }
        text += file + '\t' + std::to_string(st.st_size) + '\t' +
                std::to_string(st.st_mtim.tv_sec) + '.' + std::to_string(st.st_mtim.tv_nsec) + '\n';
    }
    uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (unsigned char c : text) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

std::vector<std::string> readVerdicts(const std::string& path) {
    std::vector<std::string> lines;
    std::error_code ec;
    if (path.empty() || !fs::is_regular_file(path, ec) || fs::file_size(path, ec) > 4096) {
        return lines;
    }
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.size() == 16) {
            lines.push_back(line);
        }
    }
    return lines;
}

void recordVerdict(const std::string& path, const std::string& key) {
    if (path.empty()) {
        return;
    }
    removeStaleTemps(path);
    auto lines = readVerdicts(path);
    lines.push_back(key);
    if (lines.size() > kMaxVerdicts) {
        lines.erase(lines.begin(), lines.end() - kMaxVerdicts);
    }
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    std::string text;
    for (const auto& line : lines) {
        text += line + '\n';
    }
    std::string why;
    replaceFile(path, text, why); // only a record: on failure the next start checks again
}

// The reason in the child's log: its own last word, else the library's last error.
std::string reasonIn(const std::string& log) {
    std::string own, library;
    std::size_t at = 0;
    while (at < log.size()) {
        std::size_t end = log.find('\n', at);
        if (end == std::string::npos) {
            end = log.size();
        }
        const std::string line = log.substr(at, end - at);
        if (const auto mark = line.find(std::string(kChecker) + ": "); mark != std::string::npos) {
            own = line.substr(mark + std::strlen(kChecker) + 2);
        } else if (line.rfind("ERROR: ", 0) == 0 || line.rfind("FATAL", 0) == 0 ||
                   line.find("AddressSanitizer") != std::string::npos) {
            library = line;
        }
        at = end + 1;
    }
    std::string reason = own.empty() ? library : own;
    // The library quotes what it read, which in a damaged file is any bytes at all.
    for (char& c : reason) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) {
            c = '?';
        }
    }
    constexpr std::size_t kLongest = 160;
    if (reason.size() > kLongest) {
        reason = reason.substr(0, kLongest) + "...";
    }
    return reason;
}

std::string exitReason(int status) {
    if (WIFSIGNALED(status)) {
        const char* name = ::strsignal(WTERMSIG(status));
        return std::string("the model reader crashed (") + (name ? name : "signal") + ")";
    }
    return "the model reader failed (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
}

} // namespace

std::string ModelCheckOptions::modelCheckerPath() {
    for (const auto& candidate : InstallLayout::helperPrograms(kChecker)) {
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    return {};
}

std::string ModelCheckOptions::modelVerdictsPath() {
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache == '/') {
        return std::string(cache) + "/murmelin/checked-models";
    }
    if (const char* home = std::getenv("HOME"); home && *home) {
        return std::string(home) + "/.cache/murmelin/checked-models";
    }
    return {};
}

std::string checkModel(const SpeechModel& model, const ModelCheckOptions& options,
                       const std::atomic<bool>* stop) {
    const std::string key = identity(model);
    {
        std::lock_guard lock(verdictsMutex);
        const auto known = readVerdicts(options.verdicts);
        if (std::find(known.begin(), known.end(), key) != known.end()) {
            return {};
        }
    }
    if (options.checker.empty()) {
        return std::string("the model checker ") + kChecker + " is not installed";
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return std::string("cannot check the model: ") + std::strerror(errno);
    }
    Fd readEnd{pipeFds[0]}, writeEnd{pipeFds[1]};
    // posix_spawn, not fork: this process has threads, and the child only execs.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.fd, 2);
    std::vector<std::string> args{options.checker, model.locale, model.acousticModel,
                                  model.languageModel, model.dictionary};
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned =
        ::posix_spawn(&pid, options.checker.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return "cannot run " + options.checker + ": " + std::strerror(spawned);
    }
    ::close(writeEnd.fd);
    writeEnd.fd = -1;

    std::string log;
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    bool timedOut = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || (stop && *stop)) {
            timedOut = true;
            break;
        }
        pollfd p{readEnd.fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 100)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0) {
            continue; // the deadline and `stop` are looked at again
        }
        if (ready < 0) {
            break;
        }
        char chunk[4096];
        const ssize_t n = ::read(readEnd.fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break; // the child closed its end: it has ended
        }
        log.append(chunk, static_cast<std::size_t>(n));
        if (log.size() > 2 * kMaxOutput) {
            log.erase(0, log.size() - kMaxOutput);
        }
    }
    if (timedOut) {
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (stop && *stop) {
        return "the model check was stopped";
    }
    if (timedOut) {
        return "the model took longer than " + std::to_string(options.timeout.count() / 1000) +
               " s to load";
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        std::lock_guard lock(verdictsMutex);
        recordVerdict(options.verdicts, key);
        return {};
    }
    const std::string reason = reasonIn(log);
    return reason.empty() ? exitReason(status) : reason + " (" + exitReason(status) + ")";
}

} // namespace murmelin
