#include "TextCleaner.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

using namespace murmelin;

namespace {

// A dictated note: ordinary words with recogniser punctuation, spoken commands, a few words
// outside ASCII (accents, CJK, emoji with a skin tone), grown to `size` bytes.
std::string transcript(std::size_t size) {
    static constexpr std::array<std::string_view, 24> pieces{
        "Hello team,",
        "new paragraph",
        "here are",
        "the notes",
        "from today's",
        "meeting.",
        "bullet point",
        "Budget is",
        "$20,000",
        "(approved).",
        "bullet point",
        "caf\u00E9",
        "menu: 100%",
        "vegan,",
        "open quote",
        "na\u00EFve",
        "close quote.",
        "camel case",
        "user ID.",
        "all caps",
        "stra\u00DFe!",
        "\u6771\u4EAC",
        "\U0001F44D\U0001F3FD",
        "new line",
    };
    std::string text;
    text.reserve(size + 32);
    for (std::size_t i = 0; text.size() < size; ++i) {
        if (!text.empty()) {
            text += ' ';
        }
        text += pieces[i % pieces.size()];
    }
    text.resize(size);
    // Cut on a scalar boundary so the input stays valid UTF-8.
    while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) {
        text.pop_back();
    }
    if (!text.empty() && static_cast<unsigned char>(text.back()) >= 0xC0) {
        text.pop_back();
    }
    return text;
}

void cleanTranscript(benchmark::State& state) {
    const std::string text = transcript(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(TextCleaner::clean(text));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size()));
}

} // namespace

// A typical dictation, a long one, and 1 MB to show the cost stays linear.
BENCHMARK(cleanTranscript)->Arg(200)->Arg(1000)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
