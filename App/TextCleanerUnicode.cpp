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

namespace murmelin::TextCleaner::detail {

namespace {

enum Flag : std::uint8_t { punct = 1, whiteSpace = 2, letterOrNumber = 4, trimSpace = 8 };

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

// The same answers as ICU for ASCII, looked up without a call: most transcripts are ASCII.
const std::array<std::uint8_t, 128>& asciiFlags() {
    static const std::array<std::uint8_t, 128> flags = [] {
        std::array<std::uint8_t, 128> built{};
        for (UChar32 c = 0; c < 128; ++c) {
            built[c] =
                (punctSet().contains(c) ? punct : 0) | (u_isUWhiteSpace(c) ? whiteSpace : 0) |
                (icuLetterOrNumber(c) ? letterOrNumber : 0) | (icuTrimSpace(c) ? trimSpace : 0);
        }
        return built;
    }();
    return flags;
}

bool hasAscii(char32_t c, Flag flag) {
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
    UErrorCode status = U_ZERO_ERROR;
    icu::StringByteSink<std::string> sink(&out);
    // "" selects the root locale: the default mappings, whatever the user's locale is.
    map("", 0, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())), sink, nullptr,
        status);
}

} // namespace

std::string_view repaired(std::string_view text, std::string& storage) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    std::int32_t i = 0;
    while (i < length && bytes[i] < 0x80) {
        ++i;
    }
    std::int32_t checked = i;
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
    return c < 128 ? hasAscii(c, punct) : punctSet().contains(static_cast<UChar32>(c));
}

bool isWhiteSpace(char32_t c) {
    return c < 128 ? hasAscii(c, whiteSpace) : u_isUWhiteSpace(static_cast<UChar32>(c));
}

bool isLetterOrNumber(char32_t c) {
    return c < 128 ? hasAscii(c, letterOrNumber) : icuLetterOrNumber(static_cast<UChar32>(c));
}

bool isTrimSpace(char32_t c) {
    return c < 128 ? hasAscii(c, trimSpace) : icuTrimSpace(static_cast<UChar32>(c));
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
    auto& state = threadIterator();
    if (state.owner == this) {
        state.owner = nullptr;
    }
}

void Characters::CloseText::operator()(UText* text) const {
    utext_close(text);
}

std::size_t Characters::next(std::size_t at) {
    // Two ASCII scalars always have a boundary between them, except CR LF.
    const auto* bytes = reinterpret_cast<const unsigned char*>(text_.data());
    if (bytes[at] < 0x80) {
        if (at + 1 == text_.size()) {
            return at + 1;
        }
        if (bytes[at + 1] < 0x80) {
            return at + (bytes[at] == '\r' && bytes[at + 1] == '\n' ? 2 : 1);
        }
    }
    return nextByIcu(at);
}

std::size_t Characters::nextByIcu(std::size_t at) {
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
        std::size_t next = at;
        U8_FWD_1_UNSAFE(text_.data(), next);
        return next;
    }
    return static_cast<std::size_t>(end);
}

void appendLower(std::string_view text, std::string& out) {
    if (isAscii(text)) {
        for (char ch : text) {
            out.push_back(ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch);
        }
        return;
    }
    appendMapped(text, out, [](auto&&... args) { icu::CaseMap::utf8ToLower(args...); });
}

void appendUpper(std::string_view text, std::string& out) {
    if (isAscii(text)) {
        for (char ch : text) {
            out.push_back(ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 'a' + 'A') : ch);
        }
        return;
    }
    appendMapped(text, out, [](auto&&... args) { icu::CaseMap::utf8ToUpper(args...); });
}

} // namespace murmelin::TextCleaner::detail
