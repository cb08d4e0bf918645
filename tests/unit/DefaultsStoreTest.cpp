#include "JsonDefaultsStore.h"
#include "TempDir.h"
#include "XdgAutostart.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace murmelin;
namespace fs = std::filesystem;

namespace {

using Strings = std::vector<std::string>;

struct DefaultsStoreTest : ::testing::Test {
    murmelin::test::TempDir temp{"store"};
    fs::path dir = temp.path();
    fs::path file = dir / "murmelin" / "defaults.json";

    void write(const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    static std::string read(const fs::path& path) {
        std::stringstream s;
        s << std::ifstream(path).rdbuf();
        return s.str();
    }
    Strings filesInSettingsDir() const {
        Strings names;
        for (const auto& e : fs::directory_iterator(file.parent_path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(DefaultsStoreTest, WritesPrivatelyAndReadsBack) {
    JsonDefaultsStore store(file.string());
    EXPECT_FALSE(store.stringArray("history"));
    EXPECT_FALSE(fs::exists(file.parent_path())); // nothing until the first write
    store.set("history", Strings{"b", "a"});
    store.set("locale", std::string("de-CH"));
    store.set("locale", std::string("bad \xFF utf-8")); // replaced, never thrown on
    store.flush();

    JsonDefaultsStore again(file.string());
    EXPECT_EQ(again.stringArray("history"), (Strings{"b", "a"}));
    EXPECT_EQ(again.string("locale"), "bad \xEF\xBF\xBD utf-8");
    EXPECT_EQ(fs::status(file.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(filesInSettingsDir(), Strings{"defaults.json"}); // no temp file left
}

TEST_F(DefaultsStoreTest, ValuesOfTheWrongTypeReadAsAbsent) {
    using Map = std::map<std::string, std::string>;
    struct Case {
        const char* json;
        std::optional<Strings> history;
        std::optional<std::string> locale;
        std::optional<Map> chords; // only the string members of a map are kept
    };
    const Case cases[] = {
        {R"({"history": "hello", "locale": 3, "pasteChords": ["XTerm"]})", {}, {}, {}},
        {R"({"history": ["a", 1], "locale": ["en-US"]})", {}, {}, {}},
        {R"({"history": null, "locale": null, "pasteChords": null})", {}, {}, {}},
        {R"({"history": [], "locale": "", "pasteChords": {}})", Strings{}, "", Map{}},
        {R"({"history": ["a", "b"], "locale": "fr-FR",
             "pasteChords": {"XTerm": "ctrl+shift+v", "Emacs": 2, "st": null}})",
         Strings{"a", "b"}, "fr-FR", Map{{"XTerm", "ctrl+shift+v"}}},
    };
    for (const auto& c : cases) {
        write(c.json);
        JsonDefaultsStore store(file.string());
        EXPECT_EQ(store.stringArray("history"), c.history) << c.json;
        EXPECT_EQ(store.string("locale"), c.locale) << c.json;
        EXPECT_EQ(store.stringMap("pasteChords"), c.chords) << c.json;
    }
}

TEST_F(DefaultsStoreTest, UnknownKeysSurviveAWrite) {
    write(R"({"window": {"x": 1}, "history": ["old"], "locale": 7})");
    JsonDefaultsStore store(file.string());
    store.set("history", Strings{"new"});
    store.flush();
    auto saved = nlohmann::json::parse(read(file));
    EXPECT_EQ(saved["window"], nlohmann::json({{"x", 1}}));
    EXPECT_EQ(saved["locale"], 7);
    EXPECT_EQ(saved["history"], nlohmann::json(Strings{"new"}));
}

TEST_F(DefaultsStoreTest, AnUnreadableFileIsKeptAsideBeforeTheFirstWrite) {
    const std::string tooLarge = R"({"history": [")" + std::string(1 << 20, 'a') + R"("]})";
    for (const std::string& original :
         {std::string("{not json"), std::string("[\"a JSON array\"]"), std::string("\"\xFF\""),
          std::string(R"({"history": ["a", 2]})"), std::string(R"({"locale": ["en-US"]})"),
          tooLarge}) {
        SCOPED_TRACE(original.substr(0, 40));
        fs::remove_all(file.parent_path());
        write(original);
        JsonDefaultsStore store(file.string());
        EXPECT_FALSE(store.stringArray("history"));
        EXPECT_EQ(read(file), original); // reading alone changes nothing

        ::testing::internal::CaptureStderr();
        store.set("history", Strings{"x"});
        store.set("history", Strings{"y"});
        store.flush();
        std::string log = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;

        Strings names = filesInSettingsDir();
        ASSERT_EQ(names.size(), 2u);
        EXPECT_EQ(names[0], "defaults.json");
        EXPECT_EQ(names[1].rfind("defaults.json.corrupt-", 0), 0u) << names[1];
        EXPECT_EQ(read(file.parent_path() / names[1]), original);
        EXPECT_EQ(JsonDefaultsStore(file.string()).stringArray("history"), Strings{"y"});
    }
}

TEST_F(DefaultsStoreTest, ASymlinkedFileStaysLinked) {
    fs::create_directories(dir / "dotfiles");
    std::ofstream(dir / "dotfiles" / "murmelin.json") << R"({"locale": "de-CH"})";
    fs::create_directories(file.parent_path());
    fs::create_symlink(dir / "dotfiles" / "murmelin.json", file);
    JsonDefaultsStore store(file.string());
    EXPECT_EQ(store.string("locale"), "de-CH");
    store.set("locale", std::string("fr-FR"));
    store.flush();
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_EQ(JsonDefaultsStore((dir / "dotfiles" / "murmelin.json").string()).string("locale"),
              "fr-FR");
}

TEST_F(DefaultsStoreTest, AFailedWriteIsLoggedAndTheProgramGoesOn) {
    // The settings folder is a plain file: no write can succeed, not even as root.
    fs::create_directories(dir);
    std::ofstream(dir / "murmelin") << "in the way";
    JsonDefaultsStore store(file.string());
    ::testing::internal::CaptureStderr();
    store.set("locale", std::string("de-CH"));
    store.flush();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "murmelin: cannot save settings to " + file.string() + ": Not a directory\n");
    EXPECT_EQ(store.string("locale"), "de-CH"); // kept in memory for this run
}

TEST_F(DefaultsStoreTest, AReadOnlyFolderKeepsTheOldFile) {
    write(R"({"history": ["kept"]})");
    fs::permissions(dir, fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
    fs::permissions(file.parent_path(), fs::perms::owner_read | fs::perms::owner_exec |
                                            fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(file, fs::perms::owner_read | fs::perms::others_read);
    // Root writes anywhere, so the store runs as nobody in a child process.
    EXPECT_EXIT(
        {
            if (::geteuid() == 0 && ::setuid(65534) != 0)
                std::_Exit(2);
            JsonDefaultsStore store(file.string());
            store.set("history", Strings{"new"});
            store.flush();
            std::_Exit(store.stringArray("history") == Strings{"new"} ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "cannot save settings to .*: Permission denied");
    EXPECT_EQ(read(file), R"({"history": ["kept"]})");
    EXPECT_EQ(filesInSettingsDir(), Strings{"defaults.json"});
}

// A pipe without a writer would block a plain open; a device would be read forever or renamed
// by the first save. Devices are made in the test folder, so the real ones are never at risk.
TEST_F(DefaultsStoreTest, AnythingButARegularFileIsNeitherReadNorReplaced) {
    struct Case {
        const char* name;
        mode_t mode;
        dev_t device;
        bool linked;
    };
    const Case cases[] = {
        {"pipe", S_IFIFO | 0600, 0, false},
        {"linked pipe", S_IFIFO | 0600, 0, true},
        {"zero", S_IFCHR | 0600, makedev(1, 5), true},
        {"null", S_IFCHR | 0600, makedev(1, 3), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(file.parent_path());
        fs::create_directories(file.parent_path());
        const fs::path node = c.linked ? dir / "node" : file;
        fs::remove(node);
        if (::mknod(node.c_str(), c.mode, c.device) != 0) {
            ASSERT_NE(c.mode & S_IFMT, S_IFIFO);
            continue; // devices need root
        }
        if (c.linked)
            fs::create_symlink(node, file);

        ::testing::internal::CaptureStderr();
        JsonDefaultsStore store(file.string());
        store.set("history", Strings{"kept in memory"});
        store.flush();
        std::string log = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
        EXPECT_EQ(store.stringArray("history"), Strings{"kept in memory"});
        struct stat st {};
        ASSERT_EQ(::lstat(node.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & S_IFMT, c.mode & S_IFMT);
        EXPECT_EQ(fs::is_symlink(file), c.linked);
        EXPECT_EQ(filesInSettingsDir(), Strings{"defaults.json"});
    }
}

// Only what looks like the store's own temp file goes; the last of many quick writes wins.
TEST_F(DefaultsStoreTest, TempFilesOfInterruptedWritesGoAtStartAndTheLastWriteWins) {
    write(R"({"locale": "de-CH"})");
    const Strings left = {"defaults.json.a1B2c3", "defaults.json.corrupt-20260101T000000Z",
                          "defaults.json.notes", "defaults.json.x"};
    for (const auto& name : left)
        std::ofstream(file.parent_path() / name) << "{";
    fs::create_directory(file.parent_path() / "defaults.json.Dir123");
    JsonDefaultsStore store(file.string());
    EXPECT_EQ(filesInSettingsDir(), (Strings{"defaults.json", "defaults.json.Dir123",
                                             "defaults.json.corrupt-20260101T000000Z",
                                             "defaults.json.notes", "defaults.json.x"}));
    for (int i = 0; i < 500; ++i)
        store.set("history", Strings{std::to_string(i)});
    store.flush();
    EXPECT_EQ(JsonDefaultsStore(file.string()).stringArray("history"), Strings{"499"});
}

// Killed at any moment, a write leaves either the old file or the new one, never a torn one;
// its temp file goes at the next start.
TEST_F(DefaultsStoreTest, KilledMidWriteTheFileIsWholeAndTheNextStartTidiesUp) {
    write(R"({"history": ["start"]})");
    for (int round = 0; round < 20; ++round) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            JsonDefaultsStore store(file.string());
            const Strings big(200, std::string(500, 'x'));
            for (int i = 0;; ++i) {
                Strings history = big;
                history.insert(history.begin(), std::to_string(i));
                store.set("history", history);
                store.flush();
            }
        }
        ::usleep(static_cast<useconds_t>(2000 + round * 1500));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        auto history = JsonDefaultsStore(file.string()).stringArray("history");
        ASSERT_TRUE(history) << "round " << round << ": " << read(file).substr(0, 80);
        EXPECT_EQ(filesInSettingsDir(), Strings{"defaults.json"}) << "round " << round;
    }
}

TEST(DefaultsStorePath, FollowsXdgConfigHome) {
    struct Case {
        const char* xdg;
        std::string expected;
    };
    ::setenv("HOME", "/home/ann", 1);
    const Case cases[] = {
        {"/cfg", "/cfg/murmelin/defaults.json"},
        {"relative/cfg", "/home/ann/.config/murmelin/defaults.json"},
        {"", "/home/ann/.config/murmelin/defaults.json"},
        {nullptr, "/home/ann/.config/murmelin/defaults.json"},
    };
    for (const auto& c : cases) {
        if (c.xdg)
            ::setenv("XDG_CONFIG_HOME", c.xdg, 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(JsonDefaultsStore::defaultPath(), c.expected);
    }
    ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(XdgAutostart::defaultPath(), "/cfg/autostart/murmelin.desktop");
}

// The autostart entry on disk: made with its folder, read back, hidden by a desktop, removed,
// and a folder that cannot be made is told with its path, the state left as it was.
TEST_F(DefaultsStoreTest, AutostartEntryIsWrittenWholeAndRemoved) {
    const auto entry = temp / "autostart/murmelin.desktop";
    XdgAutostart login(entry.string());
    EXPECT_FALSE(login.isEnabled());
    EXPECT_EQ(login.setEnabled(false), "") << "nothing to remove is no failure";
    EXPECT_EQ(login.setEnabled(true), "");
    EXPECT_TRUE(login.isEnabled());
    EXPECT_EQ(read(entry), XdgAutostart::kEntry);
    EXPECT_NE(read(entry).find("\nExec=murmelin\n"), std::string::npos);
    std::ofstream(entry, std::ios::app) << "Hidden=true\n";
    EXPECT_FALSE(login.isEnabled());
    EXPECT_EQ(login.setEnabled(true), "");
    EXPECT_TRUE(login.isEnabled()) << "written whole again";
    EXPECT_EQ(login.setEnabled(false), "");
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(temp / "autostart"), {}), 0);

    std::ofstream(temp / "file") << "in the way";
    XdgAutostart blocked((temp / "file/autostart/murmelin.desktop").string());
    const std::string problem = blocked.setEnabled(true);
    EXPECT_NE(problem.find("cannot make the folder " + (temp / "file/autostart").string()),
              std::string::npos)
        << problem;
    EXPECT_FALSE(blocked.isEnabled());
}

} // namespace
