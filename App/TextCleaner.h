#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Turns a raw recogniser transcript into the text the user sees: spoken commands applied,
// recogniser filler removed, spacing and capitalisation tidied. Stateless; every function is
// pure and safe to call from any thread at once.
namespace murmelin::TextCleaner {

/// Cleans a UTF-8 transcript; malformed input bytes become U+FFFD. Any thread; pure.
std::string clean(std::string_view text);

// Internal steps of `clean`, exposed for tests only.

struct Token {
    std::string core;
    std::string word;
    std::string leading;
    std::string trailing;
};

enum class Command {
    newLine,
    newParagraph,
    bulletPoint,
    openQuote,
    closeQuote,
    camelCase,
    snakeCase,
    allCaps,
};

std::vector<Token> tokenize(std::string_view text);
std::optional<Command> command(std::ptrdiff_t at, const std::vector<Token>& tokens);

} // namespace murmelin::TextCleaner
