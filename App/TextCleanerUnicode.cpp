#include "TextCleanerUnicode.h"

#include <unicode/brkiter.h>
#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/uniset.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <array>
#include <cstdint>

namespace murmelin::TextCleaner::detail {

namespace {

// P* and S*, built once (thread-safe static) and frozen so concurrent lookups are safe.
const icu::UnicodeSet& punctSet() {
    static const icu::UnicodeSet set = [] {
        UErrorCode status = U_ZERO_ERROR;
        icu::UnicodeSet built(icu::UnicodeString(u"[[:P:][:S:]]"), status);
        built.freeze();
        return built;
    }();
    return set;
}

bool icuLetterOrNumber(UChar32 c) {
    return u_hasBinaryProperty(c, UCHAR_ALPHABETIC) ||
           u_getIntPropertyValue(c, UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

bool icuTrimSpace(UChar32 c) {
    return c == 0x09 || u_charType(c) == U_SPACE_SEPARATOR;
}

bool hasAscii(char32_t c, AsciiFlag flag) {
    return (asciiFlags()[c] & flag) != 0;
}

bool isAscii(std::string_view text) {
    for (char ch : text) {
        if (static_cast<unsigned char>(ch) >= 0x80) {
            return false;
        }
    }
    return true;
}

// One character iterator per thread: creating one is costly and sharing one is unsafe.
// `owner` tracks which Characters last gave it a text, so nested walks stay correct.
struct ThreadIterator {
    std::unique_ptr<icu::BreakIterator> iterator;
    const void* owner = nullptr;
};

ThreadIterator& threadIterator() {
    thread_local ThreadIterator state = [] {
        UErrorCode status = U_ZERO_ERROR;
        ThreadIterator created;
        created.iterator.reset(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        return created;
    }();
    return state;
}

template <typename Map> void appendMapped(std::string_view text, std::string& out, Map map) {
    const std::size_t start = out.size();
    UErrorCode status = U_ZERO_ERROR;
    if (text.size() <= static_cast<std::size_t>(INT32_MAX)) {
        icu::StringByteSink<std::string> sink(&out);
        // "" selects the root locale: the default mappings, whatever the user's locale is.
        map("", 0, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())), sink, nullptr,
            status);
    } else {
        status = U_INDEX_OUTOFBOUNDS_ERROR;
    }
    if (U_FAILURE(status)) {
        // Never expected for valid UTF-8; keeping the text unmapped beats losing it.
        out.resize(start);
        out.append(text);
    }
}

std::size_t scalarEnd(std::string_view text, std::size_t at) {
    U8_FWD_1_UNSAFE(text.data(), at);
    return at;
}

} // namespace

const std::uint8_t* asciiFlags() {
    static const std::array<std::uint8_t, 128> flags = [] {
        std::array<std::uint8_t, 128> built{};
        for (UChar32 c = 0; c < 128; ++c) {
            built[c] = (punctSet().contains(c) ? punctFlag : 0) |
                       (u_isUWhiteSpace(c) ? whiteSpaceFlag : 0) |
                       (icuLetterOrNumber(c) ? letterOrNumberFlag : 0) |
                       (icuTrimSpace(c) ? trimSpaceFlag : 0);
        }
        return built;
    }();
    return flags.data();
}

std::string_view repaired(std::string_view text, std::string& storage) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int64_t>(text.size());
    std::int64_t i = 0;
    while (i < length && bytes[i] < 0x80) {
        ++i;
    }
    const std::int64_t checked = i;
    bool valid = true;
    while (i < length) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) {
            valid = false;
            break;
        }
    }
    if (valid) {
        return text;
    }
    storage.clear();
    storage.reserve(text.size() + 16);
    storage.append(text.substr(0, static_cast<std::size_t>(checked)));
    i = checked;
    while (i < length) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) {
            c = 0xFFFD;
        }
        char encoded[U8_MAX_LENGTH];
        std::int32_t n = 0;
        U8_APPEND_UNSAFE(encoded, n, c);
        storage.append(encoded, static_cast<std::size_t>(n));
    }
    return storage;
}

bool isPunct(char32_t c) {
    return c < 128 ? hasAscii(c, punctFlag) : punctSet().contains(static_cast<UChar32>(c));
}

bool isWhiteSpace(char32_t c) {
    return c < 128 ? hasAscii(c, whiteSpaceFlag) : u_isUWhiteSpace(static_cast<UChar32>(c));
}

bool isLetterOrNumber(char32_t c) {
    return c < 128 ? hasAscii(c, letterOrNumberFlag) : icuLetterOrNumber(static_cast<UChar32>(c));
}

bool isTrimSpace(char32_t c) {
    return c < 128 ? hasAscii(c, trimSpaceFlag) : icuTrimSpace(static_cast<UChar32>(c));
}

char32_t nextScalar(std::string_view text, std::size_t& at) {
    UChar32 c;
    U8_NEXT_UNSAFE(text.data(), at, c);
    return static_cast<char32_t>(c);
}

char32_t previousScalar(std::string_view text, std::size_t& at) {
    UChar32 c;
    U8_PREV_UNSAFE(text.data(), at, c);
    return static_cast<char32_t>(c);
}

Characters::Characters(std::string_view text) : text_(text) {}

Characters::~Characters() {
    if (!utext_) {
        return; // never gave the iterator a text
    }
    auto& state = threadIterator();
    if (state.owner == this) {
        state.owner = nullptr;
    }
}

void Characters::CloseText::operator()(UText* text) const {
    utext_close(text);
}

std::size_t Characters::nextByIcu(std::size_t at) {
    // Most non-ASCII text (accented letters, CJK, lone emoji) breaks after every scalar. The
    // break rules keep a scalar of Grapheme_Cluster_Break Other or Control with the next one
    // only when that one is Extend, ZWJ or SpacingMark, so those cases need no iterator.
    std::size_t end = at;
    const auto first = static_cast<UChar32>(nextScalar(text_, end));
    const auto firstKind = u_getIntPropertyValue(first, UCHAR_GRAPHEME_CLUSTER_BREAK);
    if (firstKind == U_GCB_CONTROL || firstKind == U_GCB_LF || end == text_.size()) {
        return end;
    }
    if (firstKind == U_GCB_OTHER) {
        const auto second = static_cast<UChar32>(scalarAt(text_, end));
        const auto secondKind = u_getIntPropertyValue(second, UCHAR_GRAPHEME_CLUSTER_BREAK);
        if (secondKind != U_GCB_EXTEND && secondKind != U_GCB_ZWJ &&
            secondKind != U_GCB_SPACING_MARK) {
            return end;
        }
    }
    return nextByIterator(at);
}

std::size_t Characters::nextByIterator(std::size_t at) {
    if (text_.size() > static_cast<std::size_t>(INT32_MAX)) {
        // ICU's iterator counts in int32_t; texts of 2 GiB and more step by scalar.
        return scalarEnd(text_, at);
    }
    auto& state = threadIterator();
    UErrorCode status = U_ZERO_ERROR;
    if (!utext_) {
        utext_.reset(
            utext_openUTF8(nullptr, text_.data(), static_cast<int64_t>(text_.size()), &status));
    }
    std::int32_t end = icu::BreakIterator::DONE;
    if (state.iterator && utext_ && U_SUCCESS(status)) {
        if (state.owner != this) {
            state.iterator->setText(utext_.get(), status);
            state.owner = U_SUCCESS(status) ? this : nullptr;
        }
        end = state.iterator->following(static_cast<std::int32_t>(at));
    }
    if (U_FAILURE(status) || end == icu::BreakIterator::DONE ||
        static_cast<std::size_t>(end) <= at) {
        // Never expected; stepping one scalar keeps the walk finite and in bounds.
        return scalarEnd(text_, at);
    }
    return static_cast<std::size_t>(end);
}

namespace {

// ASCII maps alone under the default mappings; `offset` is the distance to the other case.
void appendAsciiMapped(std::string_view text, std::string& out, char from, char to, int offset) {
    const std::size_t start = out.size();
    out.append(text);
    for (std::size_t i = start; i < out.size(); ++i) {
        if (out[i] >= from && out[i] <= to) {
            out[i] = static_cast<char>(out[i] + offset);
        }
    }
}

} // namespace

void appendLower(std::string_view text, std::string& out) {
    if (isAscii(text)) {
        appendAsciiMapped(text, out, 'A', 'Z', 'a' - 'A');
        return;
    }
    appendMapped(text, out, [](auto&&... args) { icu::CaseMap::utf8ToLower(args...); });
}

void appendUpper(std::string_view text, std::string& out) {
    if (isAscii(text)) {
        appendAsciiMapped(text, out, 'a', 'z', 'A' - 'a');
        return;
    }
    appendMapped(text, out, [](auto&&... args) { icu::CaseMap::utf8ToUpper(args...); });
}

} // namespace murmelin::TextCleaner::detail
