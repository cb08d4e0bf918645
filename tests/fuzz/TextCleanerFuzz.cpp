// libFuzzer target for TextCleaner::clean: any bytes in, a well-formed, trimmed, repeatable
// result out. Also checks that the fast character stepping agrees with ICU's iterator.
#include "TextCleaner.h"
#include "TextCleanerUnicode.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

using namespace murmelin;

namespace {

void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

bool validUtf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    for (std::int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) {
            return false;
        }
    }
    return true;
}

void checkCharacters(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    static const std::unique_ptr<icu::BreakIterator> iterator(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
    iterator->setText(utext, status);
    require(U_SUCCESS(status), "ICU iterator set up");
    TextCleaner::detail::Characters characters(text);
    std::int32_t expected = iterator->first();
    for (std::size_t at = 0; at < text.size();) {
        expected = iterator->next();
        at = characters.next(at);
        require(static_cast<std::int32_t>(at) == expected, "character boundaries equal ICU's");
    }
    utext_close(utext);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string output = TextCleaner::clean(input);
    require(validUtf8(output), "valid UTF-8 out");
    if (!output.empty()) {
        require(output.front() != ' ' && output.front() != '\t', "no space or tab at the start");
        require(output.back() != ' ' && output.back() != '\t', "no space or tab at the end");
        std::size_t end = output.size();
        require(!TextCleaner::detail::isTrimSpace(TextCleaner::detail::previousScalar(output, end)),
                "no Zs at the end");
        require(!TextCleaner::detail::isTrimSpace(TextCleaner::detail::scalarAt(output, 0)),
                "no Zs at the start");
    }
    require(TextCleaner::clean(input) == output, "same result on a second call");
    std::string storage;
    checkCharacters(TextCleaner::detail::repaired(input, storage));
    return 0;
}
