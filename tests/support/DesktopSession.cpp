#include "DesktopSession.h"
#include "XKeys.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace murmelin::test {
namespace fs = std::filesystem;

namespace {

// The repository holding scripts/session.sh: this file lives in <root>/tests/support.
fs::path sourceRoot() {
    if (const char* root = std::getenv("MURMELIN_SOURCE_DIR"))
        return root;
    return MURMELIN_SOURCE_DIR;
}

// The build tree of the running test, whose tools match it: the nearest folder above the
// executable that holds a CMakeCache.txt.
std::string buildDirOfThisExecutable() {
    std::error_code error;
    for (fs::path dir = fs::read_symlink("/proc/self/exe", error).parent_path();
         !error && dir.has_relative_path(); dir = dir.parent_path())
        if (fs::exists(dir / "CMakeCache.txt"))
            return dir.string();
    const char* fallback = std::getenv("MURMELIN_BUILD_DIR");
    return fallback ? fallback : (sourceRoot() / "build").string();
}

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() {
        if (pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("pipe2 failed: ") + std::strerror(errno));
    }
    ~Pipe() { closeEnd(0), closeEnd(1); }
    void closeEnd(int i) {
        if (fds[i] >= 0)
            close(std::exchange(fds[i], -1));
    }
};

enum class Stderr { inherit, collect, discard };

// Runs argv with this process's environment changed by `set` and `unset`; collects its stdout.
CommandResult spawnAndWait(const std::vector<std::string>& argv,
                           const std::map<std::string, std::string>& set,
                           const std::vector<std::string>& unset, Stderr stderrMode) {
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        if (!set.contains(name) && std::find(unset.begin(), unset.end(), name) == unset.end())
            envStrings.push_back(entry);
    }
    for (const auto& [name, value] : set)
        envStrings.push_back(name + "=" + value);
    std::vector<char*> envp, args;
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    for (auto& s : argCopy)
        args.push_back(s.data());
    args.push_back(nullptr);

    Pipe out;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.fds[1], 1);
    if (stderrMode == Stderr::collect)
        posix_spawn_file_actions_adddup2(&actions, out.fds[1], 2);
    else if (stderrMode == Stderr::discard)
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawnError = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    out.closeEnd(1);
    CommandResult result;
    if (spawnError != 0) {
        result.out = "cannot start " + argv[0] + ": " + std::strerror(spawnError);
        return result;
    }
    // Read until the command has exited and its output is drained. Not until end of file: a
    // program that leaves a daemon behind (xclip -i) hands it our pipe, which then never closes.
    int status = 0;
    bool exited = false;
    char buffer[4096];
    while (true) {
        pollfd readable{out.fds[0], POLLIN, 0};
        const int ready = poll(&readable, 1, exited ? 0 : 20);
        if (ready > 0) {
            const ssize_t n = read(out.fds[0], buffer, sizeof buffer);
            if (n > 0) {
                result.out.append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
        } else if (ready < 0 && errno == EINTR) {
            continue;
        } else if (!exited) {
            exited = waitpid(pid, &status, WNOHANG) == pid;
            continue;
        }
        break; // end of file, a read error, or exited with nothing more to read
    }
    if (!exited)
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string unquote(const std::string& value) {
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
        return value.substr(1, value.size() - 2);
    return value;
}

} // namespace

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool isRunning(pid_t pid) {
    const auto stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    return pid > 0 && stat && stat->substr(stat->rfind(')') + 2, 1) != "Z";
}

DesktopSession::DesktopSession(std::vector<std::string> parts)
    : buildDir_(buildDirOfThisExecutable()) {
    std::vector<std::string> args{"start", "--owner", std::to_string(getpid()), dir_};
    args.insert(args.end(), parts.begin(), parts.end());
    const CommandResult started = script(args);
    if (started.status != 0)
        throw std::runtime_error("desktop session did not start (logs in " + dir_ +
                                 "/logs): " + started.out);
    running_ = true;

    std::ifstream in(dir_ + "/env");
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("export ")) {
            const auto eq = line.find('=');
            env_[line.substr(7, eq - 7)] = unquote(line.substr(eq + 1));
        } else if (line.starts_with("unset ")) {
            std::istringstream names(line.substr(6));
            for (std::string name; names >> name;)
                unset_.push_back(name);
        }
    }
}

DesktopSession::~DesktopSession() {
    stop();
    if (::testing::Test::HasFailure() || std::getenv("MURMELIN_KEEP_SESSION") != nullptr) {
        std::cerr << "desktop session kept for inspection: " << dir_ << "\n";
        folder_.keep();
    }
}

bool DesktopSession::stop() {
    if (!running_)
        return true;
    running_ = false;
    return script({"stop", dir_}).status == 0;
}

CommandResult DesktopSession::script(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{(sourceRoot() / "scripts/session.sh").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::map<std::string, std::string> set{{"MURMELIN_BUILD_DIR", buildDir_}};
    if (const char* tools = std::getenv("MURMELIN_TOOLS_DIR"))
        set["MURMELIN_TOOLS_DIR"] = tools;
    return spawnAndWait(argv, set, {}, Stderr::collect);
}

std::optional<std::string> DesktopSession::env(const std::string& name) const {
    const auto it = env_.find(name);
    return it == env_.end() ? std::nullopt : std::optional(it->second);
}

void DesktopSession::apply() const {
    for (const auto& [name, value] : env_)
        setenv(name.c_str(), value.c_str(), 1);
    for (const auto& name : unset_)
        unsetenv(name.c_str());
}

CommandResult DesktopSession::run(const std::vector<std::string>& argv) const {
    return spawnAndWait(argv, env_, unset_, Stderr::inherit);
}

pid_t DesktopSession::launch(const std::string& name, const std::vector<std::string>& argv) const {
    std::vector<std::string> args{"spawn", dir_, name};
    args.insert(args.end(), argv.begin(), argv.end());
    const CommandResult started = script(args);
    if (started.status != 0)
        throw std::runtime_error("cannot launch " + name + ": " + started.out);
    return static_cast<pid_t>(std::stol(started.out));
}

std::string DesktopSession::tool(const std::string& name) const {
    const char* tools = std::getenv("MURMELIN_TOOLS_DIR");
    return tools ? std::string(tools) + "/" + name : buildDir_ + "/tests/integration/tools/" + name;
}

std::string DesktopSession::launchTargetWindow() const {
    static int count = 0;
    const std::string file = dir_ + "/target-" + std::to_string(++count) + ".txt";
    launch("target_window", {tool("target_window"), file});
    if (!waitFor([&] { return fs::exists(file); }, std::chrono::seconds(10)))
        throw std::runtime_error("the target window did not get the focus");
    return file;
}

bool DesktopSession::play(const std::string& wav) const {
    return script({"play", dir_, wav}).status == 0;
}

bool DesktopSession::restartSoundServer() const {
    return script({"sound", dir_}).status == 0;
}

std::vector<RecordedNotification> DesktopSession::notifications() const {
    std::vector<RecordedNotification> records;
    const auto file = env("MURMELIN_NOTIFICATIONS");
    std::ifstream in(file.value_or("/nonexistent"));
    for (std::string line; std::getline(in, line);) {
        // The last line may still be being written: it counts once it is whole.
        const auto json = nlohmann::json::parse(line, nullptr, false);
        if (!json.is_object())
            continue;
        records.push_back({json.at("app_name").get<std::string>(),
                           json.at("summary").get<std::string>(),
                           json.at("body").get<std::string>(), json.at("id").get<unsigned>()});
    }
    return records;
}

bool DesktopSession::screenshot(const std::string& path) const {
    if (kwin())
        return run({tool("kwin_shot"), path}).status == 0;
    if (gnome())
        return run({(sourceRoot() / "tests/integration/tools/mutter_shot.py").string(), path})
                   .status == 0;
    if (wayland())
        return run({"grim", path}).status == 0;
    return run({"import", "-window", "root", path}).status == 0;
}

bool DesktopSession::screenshot(const std::string& path, int x, int y, int width,
                                int height) const {
    const auto n = [](int v) { return std::to_string(v); };
    if (kwin())
        return run({tool("kwin_shot"), path, n(x) + "," + n(y) + "," + n(width) + "," + n(height)})
                   .status == 0;
    if (wayland())
        return run({"grim", "-g", n(x) + "," + n(y) + " " + n(width) + "x" + n(height), path})
                   .status == 0;
    return run({"import", "-window", "root", "-crop",
                n(width) + "x" + n(height) + "+" + n(x) + "+" + n(y), "+repage", path})
               .status == 0;
}

std::string DesktopSession::clipboard() const {
    // Both complain on stderr while nobody owns the clipboard, which is an answer here.
    const std::vector<std::string> reader =
        wayland() && !gnome() ? std::vector<std::string>{"wl-paste", "-n"}
                              : std::vector<std::string>{"xclip", "-o", "-selection", "clipboard"};
    const CommandResult result = spawnAndWait(reader, env_, unset_, Stderr::discard);
    return result.status == 0 ? result.out : std::string();
}

std::string DesktopSession::focusedAppId() const {
    if (kwin())
        return kwinActiveClass();
    const CommandResult tree = run({"swaymsg", "-r", "-t", "get_tree"});
    if (tree.status != 0)
        return "";
    std::function<std::string(const nlohmann::json&)> find = [&](const nlohmann::json& node) {
        if (node.value("focused", false)) {
            const auto appId = node.find("app_id");
            if (appId != node.end() && appId->is_string())
                return appId->get<std::string>();
            return node.value("name", std::string());
        }
        for (const char* children : {"nodes", "floating_nodes"})
            for (const auto& child : node.value(children, nlohmann::json::array()))
                if (std::string found = find(child); !found.empty())
                    return found;
        return std::string();
    };
    return find(nlohmann::json::parse(tree.out, nullptr, false));
}

// KWin tells no client which window is active: a one-shot script prints it into KWin's log,
// marked so that each answer is told from the earlier ones.
std::string DesktopSession::kwinActiveClass() const {
    static int calls = 0;
    const std::string mark = "murmelin-active-" + std::to_string(++calls) + " ",
                      script = dir_ + "/active-window.js", name = "murmelin-test-active";
    std::ofstream(script) << "var w = workspace.activeWindow || workspace.activeClient;\n"
                          << "print('" << mark << "' + (w ? w.resourceClass : ''));\n";
    const auto scripting = [&](const std::vector<std::string>& call) {
        std::vector<std::string> argv{"gdbus",        "call", "--session",  "-d",
                                      "org.kde.KWin", "-o",   "/Scripting", "-m"};
        argv.insert(argv.end(), call.begin(), call.end());
        return spawnAndWait(argv, env_, unset_, Stderr::discard);
    };
    scripting({"org.kde.kwin.Scripting.unloadScript", name});
    scripting({"org.kde.kwin.Scripting.loadScript", script, name});
    scripting({"org.kde.kwin.Scripting.start"}); // runs the scripts loaded and not yet running
    std::string found;
    waitFor(
        [&] {
            const std::string log = readFile(dir_ + "/logs/kwin.log").value_or("");
            const auto at = log.rfind(mark);
            if (at == std::string::npos)
                return false;
            const auto from = at + mark.size();
            found = log.substr(from, log.find('\n', from) - from);
            return true;
        },
        std::chrono::seconds(2));
    scripting({"org.kde.kwin.Scripting.unloadScript", name});
    return found;
}

pid_t DesktopSession::activeWindowPid() const {
    // xdotool complains on stderr while no window has the focus, which is an answer here.
    const CommandResult result =
        spawnAndWait({"xdotool", "getactivewindow", "getwindowpid"}, env_, unset_, Stderr::discard);
    return result.status == 0 ? static_cast<pid_t>(std::atol(result.out.c_str())) : 0;
}

// A connection per call: one held open would end this process when a test kills the X server.
bool DesktopSession::keyDown(const std::string& keysym) const {
    return XKeys(env("DISPLAY").value_or("")).press(keysym, true);
}

bool DesktopSession::keyUp(const std::string& keysym) const {
    return XKeys(env("DISPLAY").value_or("")).press(keysym, false);
}

bool DesktopSession::pressHotKey() const {
    if (!wayland())
        return keyDown("Control_L") && keyDown("Alt_L") && keyDown("space");
    // A virtual keyboard's keys are up again once it is gone, so one wtype holds the chord
    // until the release ends it.
    hotKeyHolder_ = launch("hotkey", {"wtype", "-M", "ctrl", "-M", "alt", "-P", "space", "-s",
                                      "600000", "-p", "space", "-m", "alt", "-m", "ctrl"});
    return hotKeyHolder_ > 0;
}

bool DesktopSession::releaseHotKey() const {
    if (!wayland())
        return keyUp("space") && keyUp("Alt_L") && keyUp("Control_L");
    const pid_t holder = std::exchange(hotKeyHolder_, 0);
    return holder > 0 && kill(holder, SIGTERM) == 0 &&
           waitFor([&] { return !isRunning(holder); }, std::chrono::seconds(2));
}

std::vector<int> DesktopSession::keysDown() const {
    return XKeys(env("DISPLAY").value_or("")).held();
}

std::string DesktopSession::speak(const std::string& text) const {
    std::string name = "speech-";
    for (char c : text)
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '-';
    const std::string raw = dir_ + "/" + name + "-flite.wav", wav = dir_ + "/" + name + ".wav";
    if (!fs::exists(wav)) {
        run({"flite", "-voice", "rms", "-t", text, "-o", raw});
        // The player loses the first few milliseconds of what it plays, and flite starts
        // speaking at once: a pause on both sides, as a speaker leaves one.
        run({"sox", raw, "-r", "16000", "-c", "1", wav, "pad", "0.3", "0.3"});
    }
    return wav;
}

std::vector<std::pair<pid_t, std::string>> DesktopSession::processes() const {
    std::vector<std::pair<pid_t, std::string>> list;
    std::ifstream in(fs::exists(dir_ + "/pids") ? dir_ + "/pids" : dir_ + "/pids.stopped");
    std::string start, name;
    for (long pid; in >> pid >> start >> name;)
        list.emplace_back(static_cast<pid_t>(pid), name);
    return list;
}

bool DesktopSession::waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace murmelin::test
