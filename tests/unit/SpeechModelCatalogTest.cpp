#include "ModelCatalog.h"
#include "SphinxRecognizerFactory.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace murmelin {
namespace {
namespace fs = std::filesystem;

class ModelCatalogTest : public ::testing::Test {
protected:
    void touch(const fs::path& file) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << "x";
    }
    // Only the user models under root_.
    SphinxRecognizerFactory::Options options(const std::string& preload = "") const {
        SphinxRecognizerFactory::Options o;
        o.systemModelDirectory = "";
        o.userModelRoot = root_.string();
        o.preloadLocale = preload;
        return o;
    }
    test::TempDir temp_{"models"};
    fs::path root_ = temp_.path();
};

TEST_F(ModelCatalogTest, ReadsTheUserLayoutAndPrefersUserModels) {
    touch(root_ / "de_de" / "acoustic" / "mdef");
    touch(root_ / "de_de" / "de-phone.lm.bin");
    touch(root_ / "de_de" / "de.lm");
    touch(root_ / "de_de" / "de.lm.bin");
    touch(root_ / "de_de" / "de.dict");
    touch(root_ / "EN_gb" / "hmm" / "mdef");
    touch(root_ / "en-US" / "hmm" / "mdef"); // replaces the system one, incomplete
    touch(root_ / "fr-FR" / "notes.txt");    // no acoustic model: not a model
    touch(root_ / "stray.lm");

    const auto models = findModels("/usr/share/pocketsphinx/model/en-us", root_.string());
    ASSERT_EQ(models.size(), 3u);
    EXPECT_EQ(models[0].locale, "de-DE");
    EXPECT_EQ(models[0].acousticModel, (root_ / "de_de" / "acoustic").string());
    EXPECT_EQ(models[0].languageModel, (root_ / "de_de" / "de.lm.bin").string());
    EXPECT_EQ(models[0].dictionary, (root_ / "de_de" / "de.dict").string());
    EXPECT_EQ(models[1].locale, "en-GB");
    EXPECT_EQ(models[2].locale, "en-US");
    EXPECT_EQ(models[2].languageModel, "");
}

TEST_F(ModelCatalogTest, NoModelGivesNoRecogniserAndAnIncompleteOneAnUnavailableOne) {
    SphinxRecognizerFactory none(options("en-US"));
    EXPECT_TRUE(none.supportedLocales().empty());
    EXPECT_EQ(none.make("en-US"), nullptr);

    touch(root_ / "de-DE" / "acoustic" / "mdef");
    SphinxRecognizerFactory factory(options());
    EXPECT_EQ(factory.supportedLocales(), std::vector<std::string>{"de-DE"});
    const auto recognizer = factory.make("de_DE");
    ASSERT_NE(recognizer, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_NE(factory.loadError("de-DE").find("language model"), std::string::npos);
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(recognizer->isAvailable());
}

// A damaged model is tried in a child process: the recogniser is unavailable, the reason is
// said once on stderr, and this process lives on (it crashed or exited before).
TEST_F(ModelCatalogTest, DamagedModelsAreUnavailableWithoutHarmingTheProgram) {
    const fs::path en = "/usr/share/pocketsphinx/model/en-us";
    if (!fs::exists(en / "en-us" / "mdef"))
        GTEST_SKIP() << "pocketsphinx-en-us missing";
    const auto fill = [](const fs::path& file, std::size_t bytes) {
        fs::create_directories(file.parent_path());
        std::ofstream out(file, std::ios::binary);
        for (std::size_t i = 0; i < bytes; ++i)
            out.put(static_cast<char>((i * 7919 + 13) % 251));
    };
    // garbage: every file of the model is noise
    for (const char* file : {"mdef", "means", "variances", "mixture_weights", "transition_matrices",
                             "feat.params", "noisedict"})
        fill(root_ / "aa-AA" / "hmm" / file, 4096);
    fill(root_ / "aa-AA" / "aa.lm.bin", 4096);
    fill(root_ / "aa-AA" / "aa.dict", 4096);
    // truncated: the real model with the first half of its language model
    fs::create_directories(root_ / "bb-BB");
    fs::create_directory_symlink(en / "en-us", root_ / "bb-BB" / "hmm");
    fs::create_symlink(en / "cmudict-en-us.dict", root_ / "bb-BB" / "bb.dict");
    {
        std::ifstream in(en / "en-us.lm.bin", std::ios::binary);
        std::vector<char> half(fs::file_size(en / "en-us.lm.bin") / 2);
        in.read(half.data(), static_cast<std::streamsize>(half.size()));
        std::ofstream(root_ / "bb-BB" / "bb.lm.bin", std::ios::binary)
            .write(half.data(), static_cast<std::streamsize>(half.size()));
    }
    // empty: every file there, none with anything in it
    for (const auto& file : {root_ / "cc-CC" / "hmm" / "mdef", root_ / "cc-CC" / "cc.lm.bin",
                             root_ / "cc-CC" / "cc.dict"})
        fill(file, 0);
    auto o = options();
    o.check->verdicts = (root_ / "verdicts").string();
    SphinxRecognizerFactory factory(o);
    ASSERT_EQ(factory.supportedLocales(), (std::vector<std::string>{"aa-AA", "bb-BB", "cc-CC"}));
    testing::internal::CaptureStderr();
    for (const std::string locale : {"aa-AA", "bb-BB", "cc-CC"}) {
        const auto recognizer = factory.make(locale);
        ASSERT_NE(recognizer, nullptr) << locale;
        EXPECT_NE(factory.loadError(locale), "") << locale;
        EXPECT_FALSE(recognizer->isAvailable()) << locale;
    }
    const std::string said = testing::internal::GetCapturedStderr();
    for (const std::string locale : {"aa-AA", "bb-BB", "cc-CC"})
        EXPECT_NE(said.find("speech recognizer for " + locale + " unavailable: "),
                  std::string::npos)
            << said;
    EXPECT_FALSE(fs::exists(root_ / "verdicts")); // nothing passed
}

// The model loads on its engine's thread: asking for a recogniser never waits for it, and a
// model that passed its check once is not checked again.
TEST_F(ModelCatalogTest, TheRealModelLoadsInTheBackgroundAndItsVerdictIsKept) {
    const fs::path en = "/usr/share/pocketsphinx/model/en-us";
    if (!fs::exists(en / "en-us" / "mdef"))
        GTEST_SKIP() << "pocketsphinx-en-us missing";
    auto o = options();
    o.systemModelDirectory = en.string();
    o.check->verdicts = (root_ / "verdicts").string();
    for (int run = 0; run < 2; ++run) {
        SphinxRecognizerFactory factory(o);
        const auto began = std::chrono::steady_clock::now();
        const auto recognizer = factory.make("en-US");
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(100));
        ASSERT_NE(recognizer, nullptr);
        EXPECT_TRUE(recognizer->isAvailable());
        EXPECT_EQ(factory.loadError("en-US"), "");
        EXPECT_TRUE(recognizer->isAvailable());
        std::ifstream verdicts(root_ / "verdicts");
        std::string line, more;
        EXPECT_TRUE(std::getline(verdicts, line) && !std::getline(verdicts, more)) << run;
        // The second factory must not need the checker.
        o.check->checker = "/nonexistent/murmelin-check-model";
    }
}

TEST_F(ModelCatalogTest, UserRootFollowsXdgDataHome) {
    ::setenv("XDG_DATA_HOME", "/data", 1);
    EXPECT_EQ(userModelRoot(), "/data/murmelin/models");
    ::setenv("XDG_DATA_HOME", "relative", 1); // not absolute: ignored
    ::setenv("HOME", "/home/u", 1);
    EXPECT_EQ(userModelRoot(), "/home/u/.local/share/murmelin/models");
}

} // namespace
} // namespace murmelin
