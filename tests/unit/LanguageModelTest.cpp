#include "LanguageModel.h"
#include "CommandFavouring.h"
#include "TempDir.h"

#include <gtest/gtest.h>
#include <pocketsphinx.h>
#include <sphinxbase/err.h>
#include <sphinxbase/ngram_model.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

namespace fs = std::filesystem;

namespace murmelin {
namespace {

// A small trigram model whose unigrams and the histories "bullet" and "new" each sum to one.
// "bullet" already has bigrams (the best of them to "</s>"), "new" has "line" but not
// "paragraph", and nothing else is a command word.
const char* const kModel = R"(\data\
ngram 1=8
ngram 2=5
ngram 3=1

\1-grams:
-99.0000	<s>	-0.3000
-0.69897	</s>	0.0000
-2.0000	bullet	-0.179224
-1.045757	point	-0.1000
-0.69897	new	0.110896
-1.0000	line	0.0000
-1.30103	paragraph	0.0000
-0.455932	york	0.0000

\2-grams:
-0.30103	bullet	</s>	0.0000
-1.522879	bullet	point	0.0000
-0.60206	new	york	-0.1000
-1.39794	new	line	0.0000
-0.5000	<s>	new	0.0000

\3-grams:
-0.2000	<s>	new	york

\end\
)";

struct Parsed {
    std::map<std::string, std::pair<double, double>> unigrams; // log10 p, log10 back-off
    std::map<std::pair<std::string, std::string>, double> bigrams;
    std::vector<std::string> trigrams;
    std::size_t declaredUnigrams = 0, declaredBigrams = 0;
};

Parsed parse(const std::string& text) {
    Parsed arpa;
    std::istringstream in(text);
    int section = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("ngram 1=", 0) == 0)
            arpa.declaredUnigrams = std::stoul(line.substr(8));
        else if (line.rfind("ngram 2=", 0) == 0)
            arpa.declaredBigrams = std::stoul(line.substr(8));
        else if (line.size() > 2 && line[0] == '\\' && line[2] == '-')
            section = line[1] - '0';
        else if (!line.empty() && line[0] != '\\' && section == 3)
            arpa.trigrams.push_back(line);
        else if (!line.empty() && line[0] != '\\' && section > 0) {
            std::istringstream fields(line);
            double p = 0, backoff = 0;
            std::string a, b;
            fields >> p >> a;
            if (section == 2)
                fields >> b;
            fields >> backoff;
            if (section == 1)
                arpa.unigrams[a] = {p, backoff};
            else
                arpa.bigrams[{a, b}] = p;
        }
    }
    return arpa;
}

std::string favoured(const std::string& model, const FavourSettings& settings = {}) {
    std::ostringstream out;
    std::string why;
    EXPECT_TRUE(favourCommands(model, commandPhrases(), settings, out, why)) << why;
    return out.str();
}

// The total probability that `history` gives all words.
double historyMass(const Parsed& arpa, const std::string& history) {
    double seen = 0, seenUnigrams = 0, all = 0;
    for (const auto& [pair, p] : arpa.bigrams)
        if (pair.first == history) {
            seen += std::pow(10.0, p);
            seenUnigrams += std::pow(10.0, arpa.unigrams.at(pair.second).first);
        }
    for (const auto& [word, p] : arpa.unigrams)
        all += std::pow(10.0, p.first);
    return seen + std::pow(10.0, arpa.unigrams.at(history).second) * (all - seenUnigrams);
}

TEST(CommandFavouring, RaisesEachPhraseToItsFirstWordsBestAndKeepsHistoriesWhole) {
    const Parsed before = parse(kModel);
    const Parsed after = parse(favoured(kModel));
    // "new paragraph" was missing: added, and counted in the header.
    EXPECT_EQ(after.bigrams.size(), before.bigrams.size() + 1);
    EXPECT_EQ(after.declaredBigrams, after.bigrams.size());
    // Each phrase of known words also as one word, and only those.
    EXPECT_EQ(after.unigrams.size(), before.unigrams.size() + 3);
    EXPECT_EQ(after.declaredUnigrams, after.unigrams.size());
    for (const char* joined : {"bullet_point", "new_line", "new_paragraph"})
        EXPECT_NEAR(after.unigrams.at(joined).first, std::log10(3e-3), 1e-4) << joined;
    struct Case {
        const char *first, *second;
        double expected; // log10
    } cases[] = {
        {"bullet", "point", -0.30103}, // raised to the best bigram "bullet" had ("</s>")
        {"new", "line", -0.60206},     // ... and "new" ("york")
        {"new", "paragraph", -0.60206},
    };
    for (const auto& c : cases)
        EXPECT_NEAR((after.bigrams.at({c.first, c.second})), c.expected, 1e-4)
            << c.first << ' ' << c.second;
    for (const char* history : {"bullet", "new"}) {
        EXPECT_NEAR(historyMass(before, history), 1.0, 1e-4) << history;
        // Within the share the rescaled unigrams move the back-off mass (not renormalised).
        EXPECT_NEAR(historyMass(after, history), 1.0, 1e-2) << history;
        // The rest of the history shrinks by one factor, its back-off weight included.
        const auto& [other, p] =
            *std::find_if(before.bigrams.begin(), before.bigrams.end(), [&](const auto& b) {
                return b.first.first == history && b.first.second != "point" &&
                       b.first.second != "line";
            });
        EXPECT_NEAR(after.bigrams.at(other) - p,
                    after.unigrams.at(history).second - before.unigrams.at(history).second, 2e-4)
            << history;
    }
    // The first words' floor; everything not about the commands stays as it was.
    EXPECT_NEAR(after.unigrams.at("bullet").first, -2.0, 1e-4);
    EXPECT_NEAR(after.unigrams.at("new").first, before.unigrams.at("new").first, 1e-4);
    EXPECT_EQ(after.bigrams.at({"<s>", "new"}), before.bigrams.at({"<s>", "new"}));
    EXPECT_EQ(after.trigrams, before.trigrams);
}

TEST(CommandFavouring, FloorsFirstWordsAndPhrasesAndRescalesTheOtherUnigrams) {
    FavourSettings settings;
    settings.firstWordFloor = 0.05; // above "bullet"'s 0.01
    settings.joinedWordProbability = 0;
    settings.phraseFloor = 0.8; // above the best bigram of "bullet" (0.5); shared by "new"'s two
    const Parsed before = parse(kModel);
    const Parsed after = parse(favoured(kModel, settings));
    EXPECT_NEAR(after.bigrams.at({"bullet", "point"}), std::log10(0.8), 1e-4);
    EXPECT_NEAR(after.bigrams.at({"new", "paragraph"}), std::log10(0.4), 1e-4);
    EXPECT_NEAR(after.unigrams.at("bullet").first, std::log10(0.05), 1e-4);
    EXPECT_EQ(after.unigrams.count("bullet_point"), 0u);
    double massBefore = 0, massAfter = 0;
    for (const auto& [word, p] : before.unigrams)
        massBefore += std::pow(10.0, p.first);
    for (const auto& [word, p] : after.unigrams)
        massAfter += std::pow(10.0, p.first);
    EXPECT_NEAR(massBefore, 1.0, 1e-5);
    EXPECT_NEAR(massAfter, 1.0, 2e-3);
    EXPECT_LT(after.unigrams.at("york").first, before.unigrams.at("york").first);
}

TEST(CommandFavouring, RefusesWhatItCannotEdit) {
    const std::string noCommands = "\\data\\\nngram 1=2\nngram 2=1\n\n\\1-grams:\n-1 a -0.5\n"
                                   "-1 b\n\n\\2-grams:\n-0.1 a b\n\n\\end\\\n";
    for (const std::string& text :
         {std::string("hello"), std::string(kModel).substr(0, 120), noCommands}) {
        std::ostringstream out;
        std::string why;
        EXPECT_FALSE(favourCommands(text, commandPhrases(), {}, out, why)) << text;
        EXPECT_FALSE(why.empty());
    }
}

struct SphinxModel {
    std::unique_ptr<logmath_t, int (*)(logmath_t*)> lmath{logmath_init(1.0001, 0, 0), logmath_free};
    std::unique_ptr<ngram_model_t, int (*)(ngram_model_t*)> model{nullptr, ngram_model_free};
    double p(const char* word, const char* history) {
        return logmath_exp(lmath.get(), ngram_probv(model.get(), word, history, nullptr));
    }
};

// The decoder's library reads the edited text with the probabilities it was made for, and the
// binary form it writes states the count of bigrams it holds.
TEST(CommandFavouring, ReadsBackThroughTheDecodersLibrary) {
    err_set_logfp(nullptr);
    const test::TempDir dir("favour");
    std::ofstream(dir / "f.arpa") << favoured(kModel);
    SphinxModel m;
    m.model.reset(ngram_model_read(nullptr, (dir / "f.arpa").c_str(), NGRAM_ARPA, m.lmath.get()));
    ASSERT_TRUE(m.model);
    EXPECT_NEAR(m.p("point", "bullet"), 0.5, 2e-3);
    EXPECT_NEAR(m.p("paragraph", "new"), 0.25, 2e-3);
    EXPECT_NEAR(m.p("new_line", "york"), 3e-3, 3e-5);
    ASSERT_EQ(ngram_model_write(m.model.get(), (dir / "f.lm.bin").c_str(), NGRAM_BIN), 0);
    EXPECT_EQ(storedBigramCount(dir / "f.lm.bin"), 6u);
    EXPECT_EQ(storedBigramCount(dir / "f.arpa"), std::nullopt);
    EXPECT_EQ(storedBigramCount(dir / "missing"), std::nullopt);
}

TEST(ConfigureLanguageModel, FallsBackToTheInstalledModelWithoutAFavouredOne) {
    const std::string en = "/usr/share/pocketsphinx/model/en-us";
    if (!fs::exists(en + "/en-us/mdef"))
        GTEST_SKIP() << "pocketsphinx-en-us missing";
    const test::TempDir dir("tiny");
    const auto lm = dir / "tiny.arpa";
    std::ofstream(lm) << "\\data\\\nngram 1=4\n\n\\1-grams:\n-99 <s> 0\n-0.5 </s>\n-0.5 go\n"
                         "-0.5 forward\n\n\\end\\\n";
    EXPECT_EQ(favouredModelFor(lm), "");
    // A dictionary of the model's words only keeps the decoder small and quick to make.
    const auto dict = dir / "tiny.dict";
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
    // Installed and selected. (Not through ps_get_search(): pocketsphinx 5prealpha leaks the
    // hash table iterator it returns from.)
    ASSERT_NE(ps_get_lm(decoder.get(), kLanguageModelSearch), nullptr);
    ASSERT_GE(ps_start_utt(decoder.get()), 0);
    ps_end_utt(decoder.get());
    testing::internal::CaptureStderr();
    EXPECT_FALSE(configureLanguageModel(decoder.get(), config.get(), "/nonexistent.lm.bin"));
    testing::internal::GetCapturedStderr();
}

// The build makes the favoured form of the installed model, and it is the one found.
TEST(ConfigureLanguageModel, FindsTheFavouredFormOfTheInstalledModel) {
    const std::string installed = "/usr/share/pocketsphinx/model/en-us/en-us.lm.bin";
    if (!fs::exists(installed))
        GTEST_SKIP() << "pocketsphinx-en-us missing";
    const std::string found = favouredModelFor(installed);
    ASSERT_NE(found, "");
    EXPECT_TRUE(found.ends_with(installed)) << found;
    err_set_logfp(nullptr);
    SphinxModel packaged, favoured;
    packaged.model.reset(
        ngram_model_read(nullptr, installed.c_str(), NGRAM_BIN, packaged.lmath.get()));
    favoured.model.reset(ngram_model_read(nullptr, found.c_str(), NGRAM_BIN, favoured.lmath.get()));
    ASSERT_TRUE(packaged.model && favoured.model);
    for (const auto& phrase : commandPhrases())
        EXPECT_GE(favoured.p(phrase.second, phrase.first),
                  packaged.p(phrase.second, phrase.first) * 2)
            << phrase.first << ' ' << phrase.second;
    EXPECT_NEAR(favoured.p("the", "of"), packaged.p("the", "of"), 2e-3);

    // The decoder learns to say the joined words.
    const std::string en = "/usr/share/pocketsphinx/model/en-us";
    std::unique_ptr<cmd_ln_t, int (*)(cmd_ln_t*)> config(
        cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", (en + "/en-us").c_str(), "-dict",
                    (en + "/cmudict-en-us.dict").c_str(), "-logfn", "/dev/null", nullptr),
        cmd_ln_free_r);
    std::unique_ptr<ps_decoder_t, int (*)(ps_decoder_t*)> decoder(ps_init(config.get()), ps_free);
    ASSERT_TRUE(decoder);
    ASSERT_TRUE(configureLanguageModel(decoder.get(), config.get(), installed));
    std::unique_ptr<char, decltype(&std::free)> phones(
        ps_lookup_word(decoder.get(), "bullet_point"), &std::free);
    ASSERT_TRUE(phones);
    EXPECT_STREQ(phones.get(), "B UH L AH T P OY N T");
}

} // namespace
} // namespace murmelin
