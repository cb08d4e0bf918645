#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Turns the recogniser's final transcript into the text to deliver: spoken formatting commands
// ("new line", "bullet point", "open quote", "camel case", ...) become line breaks, bullets,
// quotation marks and styled identifiers; every other word keeps its own punctuation and is
// joined to the next by one space. Stateless; every function is pure and thread-safe.
namespace murmelin::TextCleaner {

/// Cleans a UTF-8 transcript (malformed bytes are read as U+FFFD). The result is valid UTF-8,
/// never starts or ends with a space or tab, and may be empty. Any thread; pure.
std::string clean(std::string_view text);

// Internal steps of `clean`, exposed for tests only.

/// One whitespace-separated word of the transcript, split from the punctuation at its ends.
struct Token {
    std::string core;     // `word` lowercased; only for matching commands
    std::string word;     // the word as recognised, inner punctuation kept; may be empty
    std::string leading;  // punctuation and symbol scalars stripped from the front, in order
    std::string trailing; // punctuation and symbol scalars stripped from the end, in order
};

/// A two-word spoken command.

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

/// A spoken command as the recogniser hears it: two words in a row.
struct CommandPhrase {
    const char* first;
    const char* second;
    Command command;
};

/// Every spoken command, in matching order. The recogniser is taught this same list.
std::span<const CommandPhrase> commandPhrases();

/// The tokens of `text`, in order; none for empty or all-whitespace text.
std::vector<Token> tokenize(std::string_view text);
/// The command spoken by tokens `at` and `at + 1`, if any; nothing outside the sequence.
std::optional<Command> command(std::ptrdiff_t at, const std::vector<Token>& tokens);

} // namespace murmelin::TextCleaner
