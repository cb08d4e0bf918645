#include "platform/linux/speech/LanguageModel.h"
#include "App/TextCleaner.h"

#include <gtest/gtest.h>
#include <pocketsphinx.h>
#include <sphinxbase/err.h>
#include <sphinxbase/ngram_model.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

namespace murmelin {
namespace {

struct Arpa {
    std::map<std::string, std::pair<double, double>> unigrams; // log10 p, log10 back-off
    std::map<std::pair<std::string, std::string>, double> bigrams;
    std::size_t declaredUnigrams = 0, declaredBigrams = 0;
};

Arpa parse(const std::string& text) {
    Arpa arpa;
    std::istringstream in(text);
    int section = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("ngram 1=", 0) == 0)
            arpa.declaredUnigrams = std::stoul(line.substr(8));
        else if (line.rfind("ngram 2=", 0) == 0)
            arpa.declaredBigrams = std::stoul(line.substr(8));
        else if (line == "\\1-grams:")
            section = 1;
        else if (line == "\\2-grams:")
            section = 2;
        else if (!line.empty() && line[0] != '\\' && section > 0) {
            std::istringstream fields(line);
            double p = 0, backoff = 0;
            std::string a, b;
            fields >> p >> a;
            if (section == 1) {
                fields >> backoff;
                arpa.unigrams[a] = {p, backoff};
            } else {
                fields >> b;
                arpa.bigrams[{a, b}] = p;
            }
        }
    }
    return arpa;
}

TEST(CommandModel, FavoursExactlyTheCleanersCommands) {
    for (const auto& phrase : commandPhrases()) {
        const auto tokens = TextCleaner::tokenize(std::string(phrase.first) + " " + phrase.second);
        EXPECT_TRUE(TextCleaner::command(0, tokens).has_value()) << phrase.first << phrase.second;
    }
    EXPECT_EQ(commandPhrases().size(), 11u);
}

TEST(CommandModel, EveryHistorySumsToOne) {
    const CommandBoost boost;
    const Arpa arpa = parse(commandModelArpa(commandPhrases(), boost));
    EXPECT_EQ(arpa.unigrams.size(), arpa.declaredUnigrams);
    EXPECT_EQ(arpa.bigrams.size(), arpa.declaredBigrams);
    EXPECT_EQ(arpa.bigrams.size(), commandPhrases().size());
    double unigramMass = 0;
    for (const auto& [word, p] : arpa.unigrams)
        unigramMass += std::pow(10.0, p.first);
    EXPECT_LT(unigramMass, 1.0); // the rest belongs to the words the model does not name
    for (const auto& [word, p] : arpa.unigrams) {
        double seen = 0, seenUnigrams = 0;
        for (const auto& [pair, q] : arpa.bigrams) {
            if (pair.first == word) {
                seen += std::pow(10.0, q);
                seenUnigrams += std::pow(10.0, arpa.unigrams.at(pair.second).first);
            }
        }
        if (seen == 0)
            continue;
        EXPECT_NEAR(seen, boost.phrase, 1e-5) << word;
        EXPECT_NEAR(seen + std::pow(10.0, p.second) * (1 - seenUnigrams), 1.0, 1e-5) << word;
    }
}

// What the decoder's library makes of the text: the probabilities it was built for.
TEST(CommandModel, ReadsBackAsDesigned) {
    CommandBoost boost;
    boost.phrase = 0.8;
    const auto path = std::filesystem::temp_directory_path() / "murmelin-commands-test.arpa";
    std::ofstream(path) << commandModelArpa(commandPhrases(), boost);
    err_set_logfp(nullptr);
    std::unique_ptr<logmath_t, int (*)(logmath_t*)> lmath(logmath_init(1.0001, 0, 0), logmath_free);
    std::unique_ptr<ngram_model_t, int (*)(ngram_model_t*)> model(
        ngram_model_read(nullptr, path.c_str(), NGRAM_ARPA, lmath.get()), ngram_model_free);
    std::filesystem::remove(path);
    ASSERT_TRUE(model);
    const auto p = [&](const char* word, const char* history) {
        const int32 score = history ? ngram_score(model.get(), word, history, nullptr)
                                    : ngram_score(model.get(), word, nullptr);
        return logmath_exp(lmath.get(), score);
    };
    EXPECT_NEAR(p("point", "bullet"), 0.8, 1e-3);
    EXPECT_NEAR(p("caps", "all"), 0.8, 1e-3);
    EXPECT_NEAR(p("line", "new"), 0.4, 1e-3);
    EXPECT_NEAR(p("quotes", "close"), 0.4, 1e-3);
    EXPECT_NEAR(p("bullet", nullptr), boost.firstWord, 1e-5);
    EXPECT_NEAR(p("point", nullptr), boost.secondWord, 1e-7);
    // A second word after the wrong first word gets only its backed-off unigram: what "new"
    // leaves over, shared out over the unigrams other than "line" and "paragraph".
    EXPECT_NEAR(p("caps", "new"), 0.2 / (1 - 2 * boost.secondWord) * boost.secondWord, 1e-8);
}

TEST(ConfigureLanguageModel, FallsBackToThePackagedModelWithoutCommandWords) {
    const std::string en = "/usr/share/pocketsphinx/model/en-us";
    if (!std::filesystem::exists(en + "/en-us/mdef"))
        GTEST_SKIP() << "pocketsphinx-en-us missing";
    const auto lm = std::filesystem::temp_directory_path() / "murmelin-tiny-test.arpa";
    std::ofstream(lm) << "\\data\\\nngram 1=4\n\n\\1-grams:\n-99 <s> 0\n-0.5 </s>\n-0.5 go\n"
                         "-0.5 forward\n\n\\end\\\n";
    // A dictionary of the model's words only keeps the decoder small and quick to make.
    const auto dict = std::filesystem::temp_directory_path() / "murmelin-tiny-test.dict";
    std::ofstream(dict) << "go G OW\nforward F AO R W ER D\n";
    err_set_logfp(nullptr);
    std::unique_ptr<cmd_ln_t, int (*)(cmd_ln_t*)> config(
        cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", (en + "/en-us").c_str(), "-dict",
                    dict.c_str(), "-logfn", "/dev/null", nullptr),
        cmd_ln_free_r);
    std::unique_ptr<ps_decoder_t, int (*)(ps_decoder_t*)> decoder(ps_init(config.get()), ps_free);
    ASSERT_TRUE(decoder);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(configureLanguageModel(decoder.get(), config.get(), lm.string()));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("not favoured"), std::string::npos) << said;
    ASSERT_NE(ps_get_lm(decoder.get(), ps_get_search(decoder.get())), nullptr);
    EXPECT_FALSE(configureLanguageModel(decoder.get(), config.get(), "/nonexistent.lm.bin"));
    std::filesystem::remove(lm);
    std::filesystem::remove(dict);
}

} // namespace
} // namespace murmelin
