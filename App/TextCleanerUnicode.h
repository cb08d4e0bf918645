#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct UText;

// Unicode helpers of TextCleaner, on UTF-8 text. Only the TextCleaner sources include this.
// All character data comes from ICU; ASCII answers are cached from ICU at first use.
namespace murmelin::TextCleaner::detail {

/// Returns `text` if it is valid UTF-8, otherwise a copy in `storage` where every ill-formed
/// sequence (maximal subpart) became U+FFFD, and a view of that copy.
std::string_view repaired(std::string_view text, std::string& storage);

/// ICU's answers for the 128 ASCII scalars, one bit per question below, so hot loops over
/// mostly-ASCII transcripts need no call. Computed once, thread-safely, at first use.
enum AsciiFlag : std::uint8_t {
    punctFlag = 1,
    whiteSpaceFlag = 2,
    letterOrNumberFlag = 4,
    trimSpaceFlag = 8
};
const std::uint8_t* asciiFlags();

/// General category P* or S*: the scalars stripped from the ends of a word.
bool isPunct(char32_t c);
/// Unicode White_Space: a character starting with one separates words.
bool isWhiteSpace(char32_t c);
/// Alphabetic, or a Numeric_Type other than None: what the case commands keep.
bool isLetterOrNumber(char32_t c);
/// General category Zs or U+0009: what the result is trimmed of.
bool isTrimSpace(char32_t c);

/// The scalar starting at byte `at` of valid UTF-8 `text` (at < size); moves `at` past it.
char32_t nextScalar(std::string_view text, std::size_t& at);
/// The scalar ending at byte `at` of valid UTF-8 `text` (0 < at); moves `at` to its start.
char32_t previousScalar(std::string_view text, std::size_t& at);
/// The scalar starting at byte `at` of valid UTF-8 `text`.
inline char32_t scalarAt(std::string_view text, std::size_t at) {
    return nextScalar(text, at);
}

/// Steps through the characters (extended grapheme clusters) of one valid UTF-8 text, which
/// must outlive it. ASCII runs are stepped directly; elsewhere a per-thread ICU iterator is used.
class Characters {
public:
    explicit Characters(std::string_view text);
    ~Characters();
    Characters(const Characters&) = delete;
    Characters& operator=(const Characters&) = delete;

    /// The end of the character that starts at byte `at` (a character boundary below size).
    std::size_t next(std::size_t at) {
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

private:
    std::size_t nextByIcu(std::size_t at);
    std::size_t nextByIterator(std::size_t at);

    struct CloseText {
        void operator()(UText* text) const;
    };

    std::string_view text_;
    std::unique_ptr<UText, CloseText> utext_; // over text_, opened at the first non-ASCII step
};

/// Appends `text` mapped by the Unicode default full case mappings (locale independent).
void appendLower(std::string_view text, std::string& out);
void appendUpper(std::string_view text, std::string& out);

} // namespace murmelin::TextCleaner::detail
