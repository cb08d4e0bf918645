// The whole road of a dictation, timed on a private headless desktop (scripts/session.sh): the
// real murmelin program (MURMELIN_VERBOSE=1), the Qt target window, XTest key events sent from
// here, LibriVox recordings of 3-7 s played into the virtual microphone.
//   release -> clipboard : Space key-up sent (XTest, flushed) -> the program set the clipboard
//                          (its trace line; CLOCK_MONOTONIC is shared by both processes)
//   release -> paste     : Space key-up sent -> the program sent the paste chord (its trace)
//   release -> target    : Space key-up sent -> the target window wrote the new text (polled 1 ms)
//   press -> first audio : Space key-down sent -> first buffer appended to the recogniser
// Then: the idle program over 60 s (CPU, wake-ups = voluntary context switches of all threads),
// resident memory, and word error rate of the road against the decoder fed the same files.
// Usage: DictationLatencyBench [dictations=20] [--idle-s 60] [--soak N] (N short dictations,
// RSS/fds/threads sampled every 20) [--sound pulse|pipewire] (the session's sound server)
// [--desktop x11|sway|kwin] (sway: the hot key is a sway binding running `murmelin
// press/release`; kwin: the GlobalShortcuts portal, the chord held and the text pasted through the
// RemoteDesktop portal, press timed from the portal's taking the key-downs)
// [--long 10,60,180] (one long dictation of each length in seconds, made of the LibriVox clips
// end to end: release -> clipboard, words delivered, the program's RSS before, at the end of
// the hold, its peak during it and 2 s after delivery). Not a Google Benchmark: one run is one
// measurement.
#include "SphinxRecognizerFactory.h"
#include "TraceEvents.h"
#include "WordErrorRate.h"

#include <nlohmann/json.hpp>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace murmelin;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string kRoot = MURMELIN_SOURCE_DIR;
const std::string kData = "/usr/share/pocketsphinx/test/data/librivox/";
std::string sessionDir, buildDir;

double nowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int sh(const std::string& command) {
    return std::system(command.c_str());
}

std::string session(const std::string& args) {
    std::string out;
    const std::string cmd = kRoot + "/scripts/session.sh " + args;
    std::unique_ptr<FILE, int (*)(FILE*)> p(popen(cmd.c_str(), "r"), pclose);
    char buf[256];
    while (p && fgets(buf, sizeof buf, p.get()))
        out += buf;
    return out;
}

struct Clip {
    std::string wav, reference;
};

// The references are lowercase; the transcript's capitals are not recognition errors.
std::string lower(std::string text) {
    for (auto& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::vector<Clip> librivox() {
    std::vector<Clip> clips;
    std::istringstream in(slurp(kData + "transcription"));
    const std::regex line(R"(<s> (.*) </s> \((.*)\))");
    std::smatch m;
    for (std::string l; std::getline(in, l);)
        if (std::regex_search(l, m, line))
            clips.push_back({kData + m[2].str() + ".wav", m[1]});
    return clips;
}

struct Trace {
    std::string raw;
    double firstAudioMs = -1, clipboardMs = -1;
};

// The program's trace events called `name`.
std::vector<nlohmann::json> events(const std::string& name) {
    return traceEvents(slurp(sessionDir + "/logs/murmelin.log"), name);
}

std::vector<Trace> traces() {
    std::vector<Trace> out;
    for (const auto& e : events("transcript"))
        out.push_back(
            {e.value("raw", ""), e.value("first_audio_ms", -1.0), e.value("clipboard_ms", -1.0)});
    return out;
}

struct Proc {
    long rssKb = 0, threads = 0, fds = 0, ticks = 0;
    std::map<std::string, long> voluntary; // per thread: threads come and go
};

// Wake-ups between two samples, over the threads present in both.
long wakeUps(const Proc& a, const Proc& b) {
    long n = 0;
    for (const auto& [tid, count] : b.voluntary)
        if (a.voluntary.contains(tid))
            n += count - a.voluntary.at(tid);
    return n;
}

Proc sample(pid_t pid) {
    Proc p;
    const std::string base = "/proc/" + std::to_string(pid);
    std::smatch m;
    const std::string status = slurp(base + "/status");
    if (std::regex_search(status, m, std::regex(R"(VmRSS:\s+(\d+))")))
        p.rssKb = std::stol(m[1]);
    if (std::regex_search(status, m, std::regex(R"(Threads:\s+(\d+))")))
        p.threads = std::stol(m[1]);
    for (const auto& task : fs::directory_iterator(base + "/task")) {
        const std::string s = slurp(task.path().string() + "/status");
        if (std::regex_search(s, m, std::regex(R"(\nvoluntary_ctxt_switches:\s+(\d+))")))
            p.voluntary[task.path().filename().string()] = std::stol(m[1]);
    }
    for ([[maybe_unused]] const auto& fd : fs::directory_iterator(base + "/fd"))
        ++p.fds;
    std::istringstream stat(slurp(base + "/stat").substr(slurp(base + "/stat").rfind(')') + 2));
    std::vector<std::string> f{std::istream_iterator<std::string>(stat), {}};
    p.ticks = std::stol(f[11]) + std::stol(f[12]);
    return p;
}

// Holds and lets go of Control+Alt+Space.
struct Keys {
    virtual ~Keys() = default;
    // Returns when the key-down went out (CLOCK_MONOTONIC, ms).
    virtual double press() = 0;
    virtual void release() = 0;
};

// X11: XTest events, flushed.
struct XKeys final : Keys {
    Display* d = nullptr;
    KeyCode control, alt, space;
    explicit XKeys(const char* display) : d(XOpenDisplay(display)) {
        if (!d)
            throw std::runtime_error("cannot open the session's display");
        control = XKeysymToKeycode(d, XK_Control_L);
        alt = XKeysymToKeycode(d, XK_Alt_L);
        space = XKeysymToKeycode(d, XK_space);
    }
    ~XKeys() override { XCloseDisplay(d); }
    void key(KeyCode k, bool down) {
        XTestFakeKeyEvent(d, k, down, CurrentTime);
        XSync(d, False);
    }
    double press() override {
        const double at = nowMs();
        key(control, true), key(alt, true), key(space, true);
        return at;
    }
    void release() override { key(space, false), key(alt, false), key(control, false); }
};

// sway: a virtual keyboard (wtype) holds the chord; its end releases it, and sway's bindings
// run `murmelin press` and `murmelin release`.
struct SwayKeys final : Keys {
    pid_t holder = 0;
    double press() override {
        const double at = nowMs();
        const char* argv[] = {"wtype", "-M",    "ctrl", "-M",     "alt",
                              "-P",    "space", "-s",   "600000", nullptr};
        if (posix_spawnp(&holder, "wtype", nullptr, nullptr, const_cast<char**>(argv), environ))
            holder = 0;
        return at;
    }
    void release() override {
        if (holder > 0 && kill(holder, SIGTERM) == 0)
            waitpid(holder, nullptr, 0);
        holder = 0;
    }
    ~SwayKeys() override { release(); }
};

// KWin: no virtual-keyboard protocol; the RemoteDesktop portal's keyboard holds the chord
// (tools/portal_keys.py, in the session) until SIGTERM, and KWin's global shortcut tells the
// program.
struct KWinKeys final : Keys {
    pid_t holder = 0;
    double press() override {
        reap();
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return nowMs();
        const std::string script = kRoot + "/scripts/session.sh",
                          keys = kRoot + "/tests/integration/tools/portal_keys.py";
        const char* argv[] = {script.c_str(), "run",      sessionDir.c_str(),
                              keys.c_str(),   "29,56,57", nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (posix_spawn(&holder, argv[0], &actions, nullptr, const_cast<char**>(argv), environ))
            holder = 0;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        // It says "held" once the portal has taken the key-downs: the session takes a while.
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') {
        }
        close(out[0]);
        return nowMs();
    }
    // Not waited for here: it lingers a moment so that the key-ups leave before its session
    // closes, and the target is watched meanwhile.
    void release() override {
        if (holder > 0)
            kill(holder, SIGTERM);
    }
    void reap() {
        if (holder > 0)
            waitpid(holder, nullptr, 0);
        holder = 0;
    }
    ~KWinKeys() override { release(), reap(); }
};

struct Stats {
    std::vector<double> v;
    double median() {
        std::sort(v.begin(), v.end());
        return v.empty() ? -1 : v[v.size() / 2];
    }
    double worst() { return v.empty() ? -1 : *std::max_element(v.begin(), v.end()); }
};

// One dictation; returns false when nothing arrived.
bool dictate(Keys& keys, const std::string& wav, const std::string& target, double& pressMs,
             double& releaseMs, double& arrivedMs) {
    const std::string before = slurp(target);
    pressMs = keys.press();
    std::this_thread::sleep_for(150ms);
    session("play " + sessionDir + " " + wav);
    releaseMs = nowMs();
    keys.release();
    arrivedMs = -1;
    while (nowMs() - releaseMs < 6000) {
        if (fs::file_size(target) != before.size() || slurp(target) != before) {
            arrivedMs = nowMs();
            break;
        }
        std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(300ms);
    return arrivedMs > 0;
}

// The decoder alone, fed each file in 64 ms buffers as the recorder does, no pacing.
//
// What the road hears is the file exactly, except that the harness's player loses the first
// few milliseconds of each (22 to 118 samples of its leading silence, measured). The recogniser
// hears audio in 10 ms frames, and starting a few samples later changes its result (on these
// clips between 25 % and 30 % word error rate). So each round starts the files a quarter of a
// frame later than the one before (0, 40, 80 or 120 samples left out), the way the road does
// at random.
double directWordErrorRate(const std::vector<Clip>& clips, int rounds) {
    SphinxRecognizerFactory factory;
    auto recognizer = factory.make("en-US");
    WordErrors total;
    for (int r = 0; r < rounds; ++r)
        for (const auto& clip : clips) {
            std::string samples = slurp(clip.wav).substr(44);
            const size_t skip = 40 * (r % 4);
            std::vector<float> pcm(samples.size() / 2 - skip);
            for (size_t i = 0; i < pcm.size(); ++i)
                pcm[i] =
                    float(reinterpret_cast<const int16_t*>(samples.data())[i + skip]) / 32768.f;
            auto request = recognizer->makeRequest();
            std::mutex mutex;
            std::condition_variable cv;
            std::string text;
            bool done = false;
            auto task =
                recognizer->recognitionTask(request, [&](std::optional<RecognitionResult> res,
                                                         std::optional<RecognitionError>) {
                    std::lock_guard lock(mutex);
                    if (res)
                        text = res->formattedString;
                    done = done || !res || res->isFinal;
                    cv.notify_all();
                });
            for (size_t at = 0; at < pcm.size(); at += 1024) {
                const float* channel = pcm.data() + at;
                AudioBuffer b{&channel, 1, uint32_t(std::min<size_t>(1024, pcm.size() - at))};
                request->append(b);
            }
            request->endAudio();
            std::unique_lock lock(mutex);
            cv.wait_for(lock, 10s, [&] { return done; });
            total += wordErrors(clip.reference, lower(text));
        }
    return total.rate();
}

std::vector<int> secondsList(const std::string& text) {
    std::vector<int> out;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        out.push_back(std::atoi(item.c_str()));
    return out;
}

size_t wordCount(const std::string& text) {
    std::istringstream in(text);
    return size_t(std::distance(std::istream_iterator<std::string>(in), {}));
}

// One dictation of at least `seconds` of speech: whole clips end to end, so the reference holds.
void longDictation(Keys& keys, pid_t pid, const std::vector<Clip>& clips, int seconds) {
    const std::string wav = sessionDir + "/long" + std::to_string(seconds) + ".wav";
    std::string files, reference;
    double length = 0;
    for (size_t i = 0; length < seconds; ++i) {
        const Clip& clip = clips[i % clips.size()];
        files += " " + clip.wav;
        reference += (reference.empty() ? "" : " ") + clip.reference;
        length += double(fs::file_size(clip.wav) - 44) / 32000.0;
    }
    if (sh("sox" + files + " " + wav) != 0) {
        std::printf("long %d s: sox could not join the clips\n", seconds);
        return;
    }
    const Proc before = sample(pid);
    const size_t tracesBefore = traces().size();
    std::atomic<bool> holding{true};
    std::atomic<long> peakKb{before.rssKb};
    std::thread watch([&] {
        while (holding) {
            peakKb = std::max(peakKb.load(), sample(pid).rssKb);
            std::this_thread::sleep_for(250ms);
        }
    });
    keys.press();
    std::this_thread::sleep_for(150ms);
    session("play " + sessionDir + " " + wav);
    const Proc endOfHold = sample(pid);
    const double releaseMs = nowMs();
    keys.release();
    holding = false;
    watch.join();
    std::vector<Trace> t;
    while (nowMs() - releaseMs < 30000 && (t = traces()).size() == tracesBefore)
        std::this_thread::sleep_for(5ms);
    if (t.size() == tracesBefore) {
        std::printf("long %3d s: nothing delivered within 30 s of release\n", seconds);
        return;
    }
    std::this_thread::sleep_for(2s);
    const Proc after = sample(pid);
    const WordErrors errors = wordErrors(reference, lower(t.back().raw));
    std::printf("long %3d s (%.1f s of speech): release->clipboard %7.1f ms, %zu of %zu words "
                "delivered, WER %.1f %%; RSS before %.1f MB, end of hold %.1f MB, peak in hold "
                "%.1f MB, 2 s after delivery %.1f MB\n",
                seconds, length, t.back().clipboardMs - releaseMs, wordCount(t.back().raw),
                wordCount(reference), errors.rate() * 100, before.rssKb / 1024.0,
                endOfHold.rssKb / 1024.0, peakKb / 1024.0, after.rssKb / 1024.0);
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int dictations = 20, idleS = 60, soak = 0;
    std::string sound = "pulse", desktop = "x11";
    std::vector<int> longSeconds;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--idle-s" && i + 1 < argc)
            idleS = std::atoi(argv[++i]);
        else if (a == "--soak" && i + 1 < argc)
            soak = std::atoi(argv[++i]);
        else if (a == "--long" && i + 1 < argc)
            longSeconds = secondsList(argv[++i]);
        else if (a == "--sound" && i + 1 < argc)
            sound = argv[++i];
        else if (a == "--desktop" && i + 1 < argc)
            desktop = argv[++i];
        else
            dictations = std::atoi(argv[i]);
    }
    buildDir = fs::canonical("/proc/self/exe").parent_path().parent_path().string();
    sessionDir = fs::temp_directory_path() / ("murmelin-bench-" + std::to_string(getpid()));
    setenv("MURMELIN_BUILD_DIR", buildDir.c_str(), 1);
    const bool sway = desktop == "sway", kwin = desktop == "kwin";
    const std::string parts = sway   ? " sway notify "
                              : kwin ? " kwin notify "
                                     : " x11 dbus wm compositor tray notify ";
    std::fprintf(stderr, "%s",
                 session("start --owner " + std::to_string(getpid()) + " " + sessionDir + parts +
                         sound + " 2>&1")
                     .c_str());
    const std::string program = buildDir + "/platform/qt/murmelin";
    if (sway) {
        // Where wtype finds the compositor, and the lines a sway user adds.
        setenv("WAYLAND_DISPLAY", (sessionDir + "/sway/run/wayland-1").c_str(), 1);
        setenv("SWAYSOCK", (sessionDir + "/sway/run/sway.sock").c_str(), 1);
        session("run " + sessionDir + " swaymsg 'bindsym --no-repeat Ctrl+Alt+space exec " +
                program + " press'");
        session("run " + sessionDir + " swaymsg 'bindsym --release Ctrl+Alt+space exec " + program +
                " release'");
    }
    if (kwin) {
        // The consent to paste kept from an earlier run (KWin's portal keeps no token: empty).
        fs::create_directories(sessionDir + "/config/murmelin");
        std::ofstream(sessionDir + "/config/murmelin/remote-desktop-token").flush();
    }
    const std::string target = sessionDir + "/target.txt";
    session("spawn " + sessionDir + " target " + buildDir +
            "/tests/integration/tools/target_window " + target);
    const pid_t pid =
        std::stoi(session("spawn " + sessionDir + " murmelin env MURMELIN_VERBOSE=1 " + program));
    while (!fs::exists(target))
        std::this_thread::sleep_for(10ms);
    // The first press goes in once the program says it is ready: key bound, model loaded.
    for (int i = 0; i < 3000 && events("ready").empty(); ++i)
        std::this_thread::sleep_for(10ms);
    std::unique_ptr<Keys> keysOwner;
    if (sway) {
        keysOwner = std::make_unique<SwayKeys>();
    } else if (kwin) {
        keysOwner = std::make_unique<KWinKeys>();
    } else {
        std::string display = ":" + slurp(sessionDir + "/display");
        display.erase(display.find_last_not_of("\n") + 1);
        keysOwner = std::make_unique<XKeys>(display.c_str());
    }
    Keys& keys = *keysOwner;

    const auto clips = librivox();
    Stats clipboard, paste, arrival, firstAudio;
    WordErrors road;
    int delivered = 0;
    for (int i = 0; i < dictations; ++i) {
        const Clip& clip = clips[i % clips.size()];
        double press, release, arrived;
        const size_t before = traces().size(), pastesBefore = events("paste").size();
        const bool ok = dictate(keys, clip.wav, target, press, release, arrived);
        const auto t = traces();
        const auto pastes = events("paste");
        if (!ok || t.size() != before + 1) {
            std::printf("dictation %d: nothing delivered\n", i + 1);
            road += wordErrors(clip.reference, "");
            continue;
        }
        ++delivered;
        road += wordErrors(clip.reference, lower(t.back().raw));
        clipboard.v.push_back(t.back().clipboardMs - release);
        const double pasteMs =
            pastes.size() == pastesBefore + 1 ? pastes.back().value("ms", -1.0) - release : -1;
        if (pasteMs >= 0)
            paste.v.push_back(pasteMs);
        arrival.v.push_back(arrived - release);
        firstAudio.v.push_back(t.back().firstAudioMs - press);
        std::printf("dictation %2d: release->clipboard %6.1f ms, release->paste chord %6.1f ms, "
                    "release->target %6.1f ms, press->first audio %6.1f ms: \"%s\"\n",
                    i + 1, clipboard.v.back(), pasteMs, arrival.v.back(), firstAudio.v.back(),
                    t.back().raw.c_str());
    }
    std::printf("\n%d of %d dictations delivered\n", delivered, dictations);
    std::printf("release -> clipboard holds the text: median %.1f ms, worst %.1f ms\n",
                clipboard.median(), clipboard.worst());
    std::printf("release -> paste chord sent: median %.1f ms, worst %.1f ms (%zu sent)\n",
                paste.median(), paste.worst(), paste.v.size());
    std::printf("release -> text in the target window: median %.1f ms, worst %.1f ms\n",
                arrival.median(), arrival.worst());
    std::printf("press -> first buffer reaches the recogniser: median %.1f ms, worst %.1f ms\n",
                firstAudio.median(), firstAudio.worst());
    if (dictations > 0) {
        const int rounds = (dictations + int(clips.size()) - 1) / int(clips.size());
        std::printf("word error rate: whole road %.1f %%, decoder fed the files directly %.1f %%\n",
                    road.rate() * 100, directWordErrorRate(clips, rounds) * 100);
    }

    if (idleS > 0) {
        const long hz = sysconf(_SC_CLK_TCK);
        const Proc a = sample(pid);
        std::this_thread::sleep_for(std::chrono::seconds(idleS));
        const Proc b = sample(pid);
        std::printf("idle %d s: CPU %.3f %% (%ld clock ticks), %ld wake-ups (%.2f/s), RSS %.1f MB, "
                    "%ld threads, "
                    "%ld fds\n",
                    idleS, 100.0 * double(b.ticks - a.ticks) / double(hz) / idleS,
                    b.ticks - a.ticks, wakeUps(a, b), double(wakeUps(a, b)) / idleS,
                    b.rssKb / 1024.0, b.threads, b.fds);
    }
    if (soak > 0) {
        const std::string wav = sessionDir + "/soak.wav";
        sh("flite -voice rms -t 'hello new line world' -o " + sessionDir + "/soak22.wav && sox " +
           sessionDir + "/soak22.wav -r 16000 -c 1 " + wav);
        for (int i = 0; i <= soak; ++i) {
            if (i % 20 == 0) {
                const Proc p = sample(pid);
                std::printf("soak %3d: RSS %.1f MB, %ld fds, %ld threads\n", i, p.rssKb / 1024.0,
                            p.fds, p.threads);
                std::fflush(stdout);
            }
            double press, release, arrived;
            if (i < soak)
                dictate(keys, wav, target, press, release, arrived);
        }
        std::printf("soak: %zu transcripts delivered in all\n", traces().size());
    }
    for (const int seconds : longSeconds)
        longDictation(keys, pid, clips, seconds);
    keysOwner.reset(); // before its X server goes away
    session("stop " + sessionDir);
    return 0;
}
