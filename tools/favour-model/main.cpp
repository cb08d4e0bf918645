// murmelin-favour-model [--first-word-floor P] [--phrase-floor P] [--joined-word P]
//                       PACKAGED.lm.bin OUT.lm.bin
//
// Makes the language model Murmelin decodes with: the installed model with the spoken command
// phrases favoured. Run by the build; the result is never stored in the repository. The model is
// taken apart into ARPA text, edited, and put back into the same binary format, so it loads as
// fast and takes as much memory as the installed one. The options override FavourSettings, for
// trying other strengths with bench/CommandEvalBench.
#include "CommandFavouring.h"

#include <sphinxbase/err.h>
#include <sphinxbase/logmath.h>
#include <sphinxbase/ngram_model.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;
using namespace murmelin;

namespace {

using Logmath = std::unique_ptr<logmath_t, int (*)(logmath_t*)>;
using Model = std::unique_ptr<ngram_model_t, int (*)(ngram_model_t*)>;

int fail(const std::string& why) {
    std::fprintf(stderr, "murmelin-favour-model: %s\n", why.c_str());
    return 1;
}

Model read(const fs::path& path, ngram_file_type_t type, logmath_t* lmath) {
    return Model(ngram_model_read(nullptr, path.c_str(), type, lmath), ngram_model_free);
}

double probability(ngram_model_t* model, logmath_t* lmath, const char* word, const char* history) {
    return logmath_exp(lmath, ngram_probv(model, word, history, nullptr));
}

} // namespace

int main(int argc, char** argv) {
    FavourSettings settings;
    for (; argc > 3 && argv[1][0] == '-'; argc -= 2, argv += 2) {
        const std::string option = argv[1];
        if (option == "--first-word-floor") {
            settings.firstWordFloor = std::atof(argv[2]);
        } else if (option == "--joined-word") {
            settings.joinedWordProbability = std::atof(argv[2]);
        } else if (option == "--phrase-floor") {
            settings.phraseFloor = std::atof(argv[2]);
        } else {
            break;
        }
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: murmelin-favour-model [--first-word-floor P] "
                             "[--phrase-floor P] [--joined-word P] PACKAGED.lm.bin OUT.lm.bin\n");
        return 2;
    }
    const fs::path packagedPath = argv[1];
    const fs::path outPath = argv[2];
    err_set_logfp(nullptr);
    Logmath lmath(logmath_init(1.0001, 0, 0), logmath_free);
    Model packaged = read(packagedPath, NGRAM_AUTO, lmath.get());
    if (!packaged) {
        return fail("cannot read " + packagedPath.string());
    }
    // Debian's en-us model states six more bigrams in its header than it holds, and the ARPA
    // writer insists that the two agree: give it the count the trie itself ends with.
    if (const auto stored = storedBigramCount(packagedPath)) {
        auto* counts = const_cast<uint32*>(ngram_model_get_counts(packaged.get()));
        counts[1] = *stored;
    }

    std::error_code ignored;
    fs::create_directories(outPath.parent_path(), ignored);
    const fs::path plainText = outPath.string() + ".packaged.arpa";
    const fs::path favouredText = outPath.string() + ".favoured.arpa";
    const fs::path partial = outPath.string() + ".partial";
    struct Cleanup {
        std::vector<fs::path> paths;
        ~Cleanup() {
            for (const auto& p : paths) {
                std::error_code ec;
                fs::remove(p, ec);
            }
        }
    } cleanup{{plainText, favouredText, partial}};

    if (ngram_model_write(packaged.get(), plainText.c_str(), NGRAM_ARPA) != 0) {
        return fail("cannot write " + plainText.string());
    }
    std::string text;
    {
        std::ifstream in(plainText, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        text = std::move(all).str();
    }
    fs::remove(plainText, ignored);
    {
        std::ofstream out(favouredText, std::ios::binary);
        std::string why;
        if (!favourCommands(text, commandPhrases(), settings, out, why)) {
            return fail(why);
        }
        if (!out.flush()) {
            return fail("cannot write " + favouredText.string());
        }
    }
    text.clear();
    text.shrink_to_fit();

    Model favoured = read(favouredText, NGRAM_ARPA, lmath.get());
    if (!favoured || ngram_model_write(favoured.get(), partial.c_str(), NGRAM_BIN) != 0) {
        return fail("cannot build the binary model from " + favouredText.string());
    }
    favoured.reset();
    // What the decoder will load: check that it reads back and says what it should.
    Model check = read(partial, NGRAM_BIN, lmath.get());
    if (!check) {
        return fail("the favoured model does not read back");
    }
    for (const auto& phrase : commandPhrases()) {
        const double before = probability(packaged.get(), lmath.get(), phrase.second, phrase.first);
        const double after = probability(check.get(), lmath.get(), phrase.second, phrase.first);
        std::printf("P(%s | %s): %.5f -> %.5f\n", phrase.second, phrase.first, before, after);
        if (after < before * 0.99) {
            return fail(std::string("the favoured model lowered \"") + phrase.first + " " +
                        phrase.second + "\"");
        }
    }
    fs::rename(partial, outPath);
    return 0;
}
