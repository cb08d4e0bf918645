#pragma once

#include "TextCleaner.h"
#include "TextCleanerUnicode.h"

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

// Token-level internals shared by `tokenize`, `command` and `clean`.
namespace murmelin::TextCleaner::detail {

/// Yields the tokens of one valid UTF-8 text in order, one at a time, so that `clean` needs
/// only a two-token window instead of the whole sequence. The text must outlive the stream.
class TokenStream {
public:
    explicit TokenStream(std::string_view text)
        : text_(text), characters_(text), ascii_(asciiFlags()) {}

    /// Overwrites `token` (reusing its storage) with the next token; false at the end.
    bool next(Token& token);

private:
    void build(Token& token);

    // Whether the scalar starting at `at` is punctuation; moves `at` past it.
    bool punctAt(std::size_t& at) const {
        const auto byte = static_cast<unsigned char>(text_[at]);
        if (byte < 0x80) {
            ++at;
            return (ascii_[byte] & punctFlag) != 0;
        }
        return isPunct(nextScalar(text_, at));
    }

    // Whether the scalar ending at `at` is punctuation; moves `at` to its start.
    bool punctBefore(std::size_t& at) const {
        const auto byte = static_cast<unsigned char>(text_[at - 1]);
        if (byte < 0x80) {
            --at;
            return (ascii_[byte] & punctFlag) != 0;
        }
        return isPunct(previousScalar(text_, at));
    }

    bool separatorAt(std::size_t at) const {
        const auto byte = static_cast<unsigned char>(text_[at]);
        return byte < 0x80 ? (ascii_[byte] & whiteSpaceFlag) != 0
                           : isWhiteSpace(scalarAt(text_, at));
    }

    std::string_view text_;
    Characters characters_;
    const std::uint8_t* ascii_;
    std::size_t at_ = 0;
    std::vector<std::size_t> bounds_; // character boundaries of the current word
    std::vector<std::pair<std::size_t, std::size_t>> trailing_; // stripped scalars, last first
};

/// The command spoken as `first` followed by `second`, if any.
std::optional<Command> commandOf(const Token& first, const Token& second);

} // namespace murmelin::TextCleaner::detail
