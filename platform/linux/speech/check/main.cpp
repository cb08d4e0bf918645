// murmelin-check-model: loads a speech model as the program would and decodes a second of
// quiet noise with it, in a process of its own, so that a damaged model can crash or end this
// process instead of the program. Exits 0 when the model is usable; otherwise says why on
// stderr (after the library's own log) and exits non-zero.
//
// Usage: murmelin-check-model <locale> <acoustic model folder> <language model> <dictionary>
#include "SphinxDecoder.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <vector>

namespace {

// On a line of its own after the library's log, which need not end with a line break.
[[noreturn]] void fail(const char* why) {
    if (FILE* log = err_get_logfp()) {
        std::fflush(log);
    }
    std::fprintf(stderr, "\nmurmelin-check-model: %s\n", why);
    std::fflush(stderr);
    std::_Exit(1);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s <locale> <acoustic model> <language model> <dictionary>\n",
                     argv[0]);
        return 2;
    }
    murmelin::SpeechModel model{argv[1], argv[2], argv[3], argv[4], {}};
    try {
        // The library's log goes to our stderr: its last error line is the reason given.
        const auto decoder = murmelin::createDecoder(model, {}, "/dev/stderr");
        std::vector<int16_t> noise(16000);
        unsigned seed = 1;
        for (auto& s : noise) {
            seed = seed * 1103515245u + 12345u;
            s = static_cast<int16_t>(static_cast<int>((seed >> 16) % 201) - 100);
        }
        if (ps_start_utt(decoder.get()) < 0 ||
            ps_process_raw(decoder.get(), noise.data(), noise.size(), FALSE, FALSE) < 0 ||
            ps_end_utt(decoder.get()) < 0) {
            fail("the model cannot decode");
        }
        int32 score = 0;
        ps_get_hyp(decoder.get(), &score);
    } catch (const std::exception& e) {
        fail(e.what());
    }
    // No teardown: the verdict is all that matters, and the decoder is large.
    std::fflush(nullptr);
    std::_Exit(0);
}
