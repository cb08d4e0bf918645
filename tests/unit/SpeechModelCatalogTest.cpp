#include "platform/linux/speech/ModelCatalog.h"
#include "platform/linux/speech/SphinxRecognizerFactory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace murmelin {
namespace {
namespace fs = std::filesystem;

class ModelCatalogTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("murmelin-models-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }
    void touch(const fs::path& file) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << "x";
    }
    fs::path root_;
};

TEST_F(ModelCatalogTest, ReadsTheUserLayoutAndPrefersUserModels) {
    touch(root_ / "de_de" / "acoustic" / "mdef");
    touch(root_ / "de_de" / "de-phone.lm.bin");
    touch(root_ / "de_de" / "de.lm");
    touch(root_ / "de_de" / "de.lm.bin");
    touch(root_ / "de_de" / "de.dict");
    touch(root_ / "en-US" / "hmm" / "mdef"); // replaces the system one, incomplete
    touch(root_ / "fr-FR" / "notes.txt");    // no acoustic model: not a model
    touch(root_ / "stray.lm");

    const auto models = findModels("/usr/share/pocketsphinx/model/en-us", root_.string());
    ASSERT_EQ(models.size(), 2u);
    EXPECT_EQ(models[0].locale, "de-DE");
    EXPECT_EQ(models[0].acousticModel, (root_ / "de_de" / "acoustic").string());
    EXPECT_EQ(models[0].languageModel, (root_ / "de_de" / "de.lm.bin").string());
    EXPECT_EQ(models[0].dictionary, (root_ / "de_de" / "de.dict").string());
    EXPECT_EQ(models[1].locale, "en-US");
    EXPECT_EQ(models[1].languageModel, "");
}

TEST_F(ModelCatalogTest, NormalizesLocaleIdentifiers) {
    EXPECT_EQ(normalizeLocale("en_us"), "en-US");
    EXPECT_EQ(normalizeLocale("EN-gb"), "en-GB");
    EXPECT_EQ(normalizeLocale("de"), "de");
}

TEST_F(ModelCatalogTest, FactoryWithoutModelsHasNoLocalesAndNoRecogniser) {
    SphinxRecognizerFactory factory({"", root_.string(), {}, "en-US"});
    EXPECT_TRUE(factory.supportedLocales().empty());
    EXPECT_EQ(factory.make("en-US"), nullptr);
}

TEST_F(ModelCatalogTest, IncompleteModelGivesAnUnavailableRecogniser) {
    touch(root_ / "de-DE" / "acoustic" / "mdef");
    SphinxRecognizerFactory factory({"", root_.string(), {}, ""});
    EXPECT_EQ(factory.supportedLocales(), std::vector<std::string>{"de-DE"});
    const auto recognizer = factory.make("de_DE");
    ASSERT_NE(recognizer, nullptr);
    EXPECT_FALSE(recognizer->isAvailable());
    EXPECT_TRUE(recognizer->supportsOnDeviceRecognition());
    EXPECT_NE(factory.loadError("de-DE").find("language model"), std::string::npos);
}

TEST_F(ModelCatalogTest, UserRootFollowsXdgDataHome) {
    struct Restore {
        std::string data = std::getenv("XDG_DATA_HOME") ? std::getenv("XDG_DATA_HOME") : "";
        std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
        ~Restore() {
            data.empty() ? ::unsetenv("XDG_DATA_HOME") : ::setenv("XDG_DATA_HOME", data.c_str(), 1);
            home.empty() ? ::unsetenv("HOME") : ::setenv("HOME", home.c_str(), 1);
        }
    } restore;
    ::setenv("XDG_DATA_HOME", "/data", 1);
    EXPECT_EQ(userModelRoot(), "/data/murmelin/models");
    ::setenv("XDG_DATA_HOME", "relative", 1); // not absolute: ignored
    ::setenv("HOME", "/home/u", 1);
    EXPECT_EQ(userModelRoot(), "/home/u/.local/share/murmelin/models");
}

} // namespace
} // namespace murmelin
