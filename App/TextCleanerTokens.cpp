#include "TextCleanerTokens.h"

#include <array>

namespace murmelin::TextCleaner {

namespace detail {

bool TokenStream::next(Token& token) {
    const std::size_t size = text_.size();
    while (at_ < size && separatorAt(at_)) {
        at_ = characters_.next(at_);
    }
    if (at_ == size) {
        return false;
    }
    bounds_.clear();
    bounds_.push_back(at_);
    while (at_ < size && !separatorAt(at_)) {
        at_ = characters_.next(at_);
        bounds_.push_back(at_);
    }
    build(token);
    return true;
}

// Strips whole characters from both ends of the word in bounds_, keeping only the scalar
// that was tested, so a mark or modifier riding on stripped punctuation is dropped.
void TokenStream::build(Token& token) {
    token.leading.clear();
    token.trailing.clear();
    token.core.clear();
    std::size_t first = 0;
    std::size_t last = bounds_.size() - 1;
    while (first < last) {
        const std::size_t at = bounds_[first];
        std::size_t end = at;
        if (!punctAt(end)) {
            break;
        }
        token.leading.append(text_.substr(at, end - at));
        ++first;
    }
    trailing_.clear();
    while (first < last) {
        std::size_t start = bounds_[last];
        if (!punctBefore(start)) {
            break;
        }
        trailing_.emplace_back(start, bounds_[last] - start);
        --last;
    }
    for (auto it = trailing_.rbegin(); it != trailing_.rend(); ++it) {
        token.trailing.append(text_.substr(it->first, it->second));
    }
    token.word.assign(text_.substr(bounds_[first], bounds_[last] - bounds_[first]));
    appendLower(token.word, token.core);
}

namespace {

// Every spoken command, in matching order.
constexpr CommandPhrase kPhrases[] = {
    {"new", "line", Command::newLine},         {"new", "paragraph", Command::newParagraph},
    {"bullet", "point", Command::bulletPoint}, {"open", "quote", Command::openQuote},
    {"open", "quotes", Command::openQuote},    {"close", "quote", Command::closeQuote},
    {"close", "quotes", Command::closeQuote},  {"end", "quote", Command::closeQuote},
    {"camel", "case", Command::camelCase},     {"snake", "case", Command::snakeCase},
    {"all", "caps", Command::allCaps},
};

} // namespace

std::optional<Command> commandOf(const Token& first, const Token& second) {
    // Every first word has 3 to 6 bytes: most words are rejected here.
    if (first.core.size() < 3 || first.core.size() > 6) {
        return std::nullopt;
    }
    // A single comma after the first word is how recognisers often punctuate a pause.
    if (!first.trailing.empty() && first.trailing != ",") {
        return std::nullopt;
    }
    for (const CommandPhrase& phrase : kPhrases) {
        if (first.core == phrase.first && second.core == phrase.second) {
            return phrase.command;
        }
    }
    return std::nullopt;
}

} // namespace detail

std::span<const CommandPhrase> commandPhrases() {
    return detail::kPhrases;
}

std::vector<Token> tokenize(std::string_view text) {
    std::string storage;
    detail::TokenStream stream(detail::repaired(text, storage));
    std::vector<Token> tokens;
    Token token;
    while (stream.next(token)) {
        tokens.push_back(token);
    }
    return tokens;
}

std::optional<Command> command(std::ptrdiff_t at, const std::vector<Token>& tokens) {
    // Positions outside the sequence, negative ones included, never begin a command.
    if (at < 0 || at + 1 >= static_cast<std::ptrdiff_t>(tokens.size())) {
        return std::nullopt;
    }
    const auto i = static_cast<std::size_t>(at);
    return detail::commandOf(tokens[i], tokens[i + 1]);
}

} // namespace murmelin::TextCleaner
