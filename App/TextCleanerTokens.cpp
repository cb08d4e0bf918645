#include "TextCleaner.h"
#include "TextCleanerUnicode.h"

#include <array>
#include <utility>

namespace murmelin::TextCleaner {

using namespace detail;

namespace {

// Builds the token of one word whose character boundaries are `bounds` (first = word start,
// last = word end). Whole characters are removed, but only the tested scalar is kept.
Token makeToken(std::string_view text, const std::vector<std::size_t>& bounds,
                std::vector<std::pair<std::size_t, std::size_t>>& trailingScalars) {
    Token token;
    std::size_t first = 0;
    std::size_t last = bounds.size() - 1;
    while (first < last) {
        const std::size_t at = bounds[first];
        std::size_t end = at;
        if (!isPunct(nextScalar(text, end))) {
            break;
        }
        token.leading.append(text.substr(at, end - at));
        ++first;
    }
    trailingScalars.clear();
    while (first < last) {
        std::size_t start = bounds[last];
        if (!isPunct(previousScalar(text, start))) {
            break;
        }
        trailingScalars.emplace_back(start, bounds[last] - start);
        --last;
    }
    for (auto it = trailingScalars.rbegin(); it != trailingScalars.rend(); ++it) {
        token.trailing.append(text.substr(it->first, it->second));
    }
    token.word = text.substr(bounds[first], bounds[last] - bounds[first]);
    appendLower(token.word, token.core);
    return token;
}

std::vector<Token> tokenizeValid(std::string_view text) {
    std::vector<Token> tokens;
    Characters characters(text);
    std::vector<std::size_t> bounds;
    std::vector<std::pair<std::size_t, std::size_t>> trailingScalars;
    std::size_t at = 0;
    while (at < text.size()) {
        if (isWhiteSpace(scalarAt(text, at))) {
            at = characters.next(at);
            continue;
        }
        bounds.clear();
        bounds.push_back(at);
        while (at < text.size() && !isWhiteSpace(scalarAt(text, at))) {
            at = characters.next(at);
            bounds.push_back(at);
        }
        tokens.push_back(makeToken(text, bounds, trailingScalars));
    }
    return tokens;
}

struct Phrase {
    std::string_view first;
    std::string_view second;
    Command command;
};

// Every spoken command, in matching order.
constexpr std::array<Phrase, 11> phrases{{
    {"new", "line", Command::newLine},
    {"new", "paragraph", Command::newParagraph},
    {"bullet", "point", Command::bulletPoint},
    {"open", "quote", Command::openQuote},
    {"open", "quotes", Command::openQuote},
    {"close", "quote", Command::closeQuote},
    {"close", "quotes", Command::closeQuote},
    {"end", "quote", Command::closeQuote},
    {"camel", "case", Command::camelCase},
    {"snake", "case", Command::snakeCase},
    {"all", "caps", Command::allCaps},
}};

} // namespace

std::vector<Token> tokenize(std::string_view text) {
    std::string storage;
    return tokenizeValid(repaired(text, storage));
}

std::optional<Command> command(std::ptrdiff_t at, const std::vector<Token>& tokens) {
    const auto count = static_cast<std::ptrdiff_t>(tokens.size());
    if (at < 0 || at + 1 >= count) {
        return std::nullopt;
    }
    const Token& first = tokens[static_cast<std::size_t>(at)];
    const Token& second = tokens[static_cast<std::size_t>(at) + 1];
    // A single comma after the first word is how recognisers often punctuate a pause.
    if (!first.trailing.empty() && first.trailing != ",") {
        return std::nullopt;
    }
    for (const Phrase& phrase : phrases) {
        if (first.core == phrase.first && second.core == phrase.second) {
            return phrase.command;
        }
    }
    return std::nullopt;
}

} // namespace murmelin::TextCleaner
