// Drives the real murmelin program from outside, as a person at the desktop would: XTest key
// events, speech played into the virtual microphone, screenshots, the clipboard, the defaults
// file and the program's trace (MURMELIN_VERBOSE). Header-only: shared by the end-to-end tests.
#pragma once
#include "DesktopSession.h"
#include "TraceEvents.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <QColor>
#include <QImage>
#include <QString>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// Last: Xlib defines macros (Status, CursorShape, None) that Qt and others use as names.
#include <X11/Xlib.h>

namespace murmelin::test {

using namespace std::chrono_literals;

struct Box {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Box&) const = default;
};

// One "transcript" event of the program's trace: a delivered dictation.
struct TraceLine {
    std::string raw, cleaned;
    double startMs = -1, clipboardMs = -1;
};

inline std::vector<TraceLine> transcripts(const std::string& log) {
    std::vector<TraceLine> lines;
    for (const auto& e : traceEvents(log, "transcript"))
        lines.push_back({e.value("raw", ""), e.value("cleaned", ""), e.value("start_ms", -1.0),
                         e.value("clipboard_ms", -1.0)});
    return lines;
}

enum class LetGo { spaceFirst, controlFirst };

// What was seen during one dictation.
struct Seen {
    std::optional<Box> panel; // where the panel stood while listening
    std::set<int> fills;      // accent pixels in the panel while the clip played
    bool panelHidden = false; // gone again afterwards
    bool focusKept = false;   // the focused window before and after was the same
};

inline std::string artifactsDir() {
    const std::string dir = std::string(MURMELIN_BINARY_DIR) + "/artifacts";
    std::filesystem::create_directories(dir);
    return dir;
}

// The program's icons docked in the tray at the bottom of the screen.
inline std::vector<Box> trayIcons(const DesktopSession& s) {
    static const std::regex icon("\\(\"murmelin\" \"[^\"]*\"\\)\\s+(\\d+)x(\\d+)\\+-?\\d+\\+-?"
                                 "\\d+\\s+\\+(-?\\d+)\\+(-?\\d+)");
    const std::string tree = s.run({"xwininfo", "-root", "-tree"}).out;
    std::vector<Box> icons;
    for (std::sregex_iterator it(tree.begin(), tree.end(), icon), end; it != end; ++it) {
        const Box b{std::stoi((*it)[3]), std::stoi((*it)[4]), std::stoi((*it)[1]),
                    std::stoi((*it)[2])};
        if (b.width >= 8 && b.width <= 64 && b.y >= 1000)
            icons.push_back(b);
    }
    return icons;
}

inline std::string defaultsPath(const DesktopSession& s) {
    return s.env("XDG_CONFIG_HOME").value_or("/nonexistent") + "/murmelin/defaults.json";
}

// A value of the defaults file, or `none` when the file or the key is missing.
template <typename T> T stored(const DesktopSession& s, const char* key, T none = {}) {
    const auto json = nlohmann::json::parse(readFile(defaultsPath(s)).value_or(""), nullptr, false);
    return json.is_object() && json.contains(key) ? json[key].get<T>() : none;
}

inline std::vector<std::string> storedHistory(const DesktopSession& s) {
    return stored<std::vector<std::string>>(s, "history");
}

// Lowercase ASCII: the recogniser capitalises the first word of a transcript.
inline std::string lower(std::string text) {
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

inline std::string librivox(const std::string& id) {
    return "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-" + id +
           ".wav";
}

inline std::string librivoxReference(const std::string& id) {
    std::istringstream in(
        readFile("/usr/share/pocketsphinx/test/data/librivox/transcription").value_or(""));
    for (std::string line; std::getline(in, line);) {
        if (line.find("-" + id + ")") == std::string::npos)
            continue;
        const auto open = line.find("<s> ") + 4, close = line.find(" </s>");
        return line.substr(open, close - open);
    }
    return "";
}

class Murmelin {
public:
    explicit Murmelin(const DesktopSession& session) : s_(session) {}
    ~Murmelin() { stop(); }

    // Starts the program with MURMELIN_VERBOSE=1 and waits until it says it is ready (the key
    // bound, the model loaded) and its tray icon has docked.
    void start() {
        logName_ = "murmelin-" + std::to_string(++launches_) + "-" + std::to_string(::getpid());
        pid_ = s_.launch(logName_, {"env", "MURMELIN_VERBOSE=1",
                                    std::string(MURMELIN_BINARY_DIR) + "/platform/qt/murmelin"});
        DesktopSession::waitFor([&] { return !events("ready").empty() || !running(); }, 20s);
        if (s_.wayland())
            return; // no tray host on sway: the icon never docks
        DesktopSession::waitFor(
            [&] {
                return !s_.run({"xdotool", "search", "--class", "murmelin"}).out.empty() ||
                       !running();
            },
            10s);
    }
    void stop() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        DesktopSession::waitFor([&] { return !running(); }, 5s);
        if (running())
            ::kill(pid_, SIGKILL);
        pid_ = 0;
    }
    bool running() const { return isRunning(pid_); }
    // Bottom centre of the screen under the pointer (X11: the right monitor), or on Wayland of
    // the focused output (sway's HEADLESS-1, KWin's only one), 80 px up.
    Box expectedPanel() const {
        return s_.wayland() ? Box{640 - 140, 720 - 80 - 44, 280, 44}
                            : Box{1920 + 640 - 140, 1024 - 80 - 44, 280, 44};
    }
    std::string log() const {
        return readFile(s_.dir() + "/logs/" + logName_ + ".log").value_or("");
    }

    std::vector<TraceLine> traces() const { return transcripts(log()); }
    std::vector<nlohmann::json> events(const std::string& name) const {
        return traceEvents(log(), name);
    }

    std::optional<Box> panel() const {
        if (s_.wayland()) { // no window to ask for: the panel's place shows it or not
            const Box box = expectedPanel();
            return accentPixels(artifactsDir() + "/wayland-panel-probe.png", box) >= 0
                       ? std::optional(box)
                       : std::nullopt;
        }
        std::istringstream ids(
            s_.run({"xdotool", "search", "--onlyvisible", "--class", "murmelin"}).out);
        for (std::string id; ids >> id;) {
            const auto info = s_.run({"xdotool", "getwindowgeometry", "--shell", id}).out;
            Box b;
            std::smatch m;
            auto field = [&](const char* name) {
                return std::regex_search(info, m, std::regex(std::string(name) + "=(-?\\d+)"))
                           ? std::stoi(m[1])
                           : -1;
            };
            b = {field("X"), field("Y"), field("WIDTH"), field("HEIGHT")};
            if (b.width == 280 && b.height == 44)
                return b;
        }
        return std::nullopt;
    }

    // Accent (level bar) pixels of the panel, shot alone (a whole-screen shot takes too long to
    // follow the meter) and saved as `png`.
    int accentPixels(const std::string& png, const Box& box) const {
        // mutter casts whole frames only: the panel's box is cut out of one.
        if (!(s_.gnome() ? s_.screenshot(png)
                         : s_.screenshot(png, box.x, box.y, box.width, box.height)))
            return -1;
        QImage image = QImage(QString::fromStdString(png)).convertToFormat(QImage::Format_RGB32);
        if (s_.gnome())
            image = image.copy(box.x, box.y, box.width, box.height);
        int n = 0, dark = 0, red = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                n += c.blue() > 190 && c.red() < 90 && c.green() > 90 && c.green() < 180;
                dark += c.red() < 70 && c.green() < 70 && c.blue() < 70;
                red += c.red() > 170 && c.green() < 90 && c.blue() < 90;
            }
        // Not the panel (already gone): the desktop, or a dark window without the red
        // microphone, shows through.
        return dark > image.width() * image.height() / 2 && red > 0 ? n : -3;
    }

    // What dictate() does instead of pressing and releasing Control+Alt+Space.
    void useKeys(std::function<void()> press, std::function<void()> release) {
        press_ = std::move(press), release_ = std::move(release);
    }

    // Holds Control+Alt+Space, plays `wav` (empty: none) and lets go in the given order.
    Seen dictate(const std::string& wav, const std::string& name, LetGo order = LetGo::spaceFirst,
                 int extraHoldMs = 0) {
        Seen seen;
        const std::string shots = artifactsDir() + "/" + name;
        if (!s_.wayland())
            s_.run({"xdotool", "mousemove", "2500", "500"}); // the right monitor
        const std::string focused = s_.wayland() ? s_.focusedAppId() : "";
        press_ ? press_() : void(s_.pressHotKey());
        DesktopSession::waitFor([&] { return (seen.panel = panel()).has_value(); }, 3s);
        if (seen.panel)
            seen.fills.insert(accentPixels(shots + "-listening.png", *seen.panel));
        if (!wav.empty()) {
            std::atomic<bool> done = false;
            std::thread player([&] { s_.play(wav), done = true; });
            for (int i = 0; !done && seen.panel; ++i)
                seen.fills.insert(
                    accentPixels(shots + "-level-" + std::to_string(i % 4) + ".png", *seen.panel));
            player.join();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(extraHoldMs));
        if (order == LetGo::controlFirst) {
            s_.keyUp("Control_L");
            s_.keyUp("Alt_L");
            s_.keyUp("space");
        } else {
            release_ ? release_() : void(s_.releaseHotKey());
        }
        seen.panelHidden = DesktopSession::waitFor([&] { return !panel(); }, 6s);
        seen.focusKept = focused == (s_.wayland() ? s_.focusedAppId() : "");
        return seen;
    }

    // Opens the tray menu, moves down `row` enabled entries and chooses that one.
    bool chooseMenuRow(int row) {
        const auto icons = trayIcons(s_);
        if (icons.empty())
            return false;
        const Box& icon = icons.front();
        s_.run({"xdotool", "mousemove", std::to_string(icon.x + icon.width / 2),
                std::to_string(icon.y + icon.height / 2), "click", "3"});
        std::this_thread::sleep_for(600ms);
        s_.screenshot(artifactsDir() + "/tray-menu-open.png");
        for (int i = 0; i < row; ++i)
            s_.run({"xdotool", "key", "Down"});
        s_.run({"xdotool", "key", "Return"});
        std::this_thread::sleep_for(300ms);
        return true;
    }

private:
    const DesktopSession& s_;
    std::function<void()> press_, release_;
    pid_t pid_ = 0;
    static inline int launches_ = 0;
    std::string logName_;
};

// One desktop session per test program; a fresh program and defaults file per test.
// The clock of the program's trace lines, in milliseconds.
inline double monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

class EndToEndFixture : public ::testing::Test {
public:
    static void SetUpTestSuite() { session_ = new DesktopSession(); }
    static void TearDownTestSuite() { delete session_; }
    void SetUp() override {
        std::filesystem::remove(defaultsPath(*session_));
        program_ = std::make_unique<Murmelin>(*session_);
    }
    void TearDown() override {
        if (HasFailure())
            std::fprintf(stderr, "murmelin log:\n%s\n", program_->log().c_str());
        program_.reset();
    }

    // The bodies of the notifications with `summary` posted so far.
    static std::vector<std::string> notified(const std::string& summary) {
        std::vector<std::string> bodies;
        for (const auto& n : session_->notifications())
            if (n.summary == summary)
                bodies.push_back(n.body);
        return bodies;
    }
    // Where the program keeps the desktop's remote-desktop consent.
    static std::string tokenPath() {
        return session_->env("XDG_CONFIG_HOME").value_or("/nonexistent") +
               "/murmelin/remote-desktop-token";
    }

    // A dictation without consent to type: told once with its text, nothing typed into the
    // target whose text is in `targetFile`.
    void expectCopiedNotPasted(const std::string& targetFile, const std::string& before,
                               const std::string& cleaned) {
        EXPECT_TRUE(DesktopSession::waitFor(
            [&] { return !notified("Copied to clipboard").empty(); }, std::chrono::seconds(5)));
        EXPECT_EQ(notified("Copied to clipboard"), std::vector<std::string>{cleaned});
        EXPECT_TRUE(program_->events("paste").empty());
        EXPECT_EQ(readFile(targetFile).value_or(""), before) << "nothing typed without consent";
    }

    // What a target received: its whole text now, read by `read`.
    void expectDelivered(const std::function<std::string()>& read, const std::string& before,
                         const Seen& seen, size_t dictations) {
        const auto traces = program_->traces();
        ASSERT_EQ(traces.size(), dictations) << "one transcript line per delivered dictation";
        const std::string cleaned = traces.back().cleaned;
        ASSERT_FALSE(cleaned.empty());
        EXPECT_TRUE(seen.panel.has_value()) << "the panel never appeared";
        if (seen.panel) {
            EXPECT_EQ(*seen.panel, program_->expectedPanel());
        }
        EXPECT_TRUE(seen.focusKept) << "the panel took the focus";
        std::string fills;
        for (int f : seen.fills)
            fills += std::to_string(f) + " ";
        EXPECT_GE(seen.fills.size(), 3u)
            << "the level bar did not move while speech played: " << fills;
        EXPECT_TRUE(seen.panelHidden);
        EXPECT_TRUE(DesktopSession::waitFor([&] { return read() != before; }, 3s));
        std::this_thread::sleep_for(400ms); // a second paste would have arrived by now
        const auto pastes = program_->events("paste");
        ASSERT_EQ(pastes.size(), dictations) << "one paste chord per delivered dictation";
        EXPECT_TRUE(pastes.back().value("posted", false));
        EXPECT_GE(pastes.back().value("ms", 0.0), traces.back().clipboardMs)
            << "the chord went out before the clipboard held the text";
        EXPECT_EQ(read(), before + cleaned) << "the text arrived exactly once, unaltered";
        EXPECT_EQ(session_->clipboard(), cleaned);
        const auto history = storedHistory(*session_);
        ASSERT_FALSE(history.empty());
        EXPECT_EQ(history.front(), cleaned);
    }

    static inline DesktopSession* session_ = nullptr;
    std::unique_ptr<Murmelin> program_;
};

} // namespace murmelin::test
