#include "TextCleaner.h"
#include "TextCleanerUnicode.h"

namespace murmelin::TextCleaner {

using namespace detail;

namespace {

// The state of one `clean` call: the text built so far and whether the next word-like piece
// goes without a space.
class Pipeline {
public:
    explicit Pipeline(std::size_t expected) { output_.reserve(expected); }

    void emitToken(const Token& token) {
        if (token.word.empty()) {
            // Punctuation alone attaches to what came before and leaves the spacing as it was.
            output_ += token.leading;
            output_ += token.trailing;
            return;
        }
        space();
        output_ += token.leading;
        output_ += token.word;
        output_ += token.trailing;
        suppressSpace_ = false;
    }

    void newline(int count) {
        while (!output_.empty() && output_.back() == ' ') {
            output_.pop_back();
        }
        output_.append(static_cast<std::size_t>(count), '\n');
        suppressSpace_ = true;
    }

    // Runs `command`, whose second word is `second`; `position` is just past both words.
    void carryOut(Command command, const Token& second, const std::vector<Token>& tokens,
                  std::size_t& position) {
        switch (command) {
        case Command::newLine:
        case Command::newParagraph:
            if (!output_.empty()) {
                newline(command == Command::newLine ? 1 : 2);
            }
            break;
        case Command::bulletPoint:
            if (!output_.empty() && output_.back() != '\n') {
                newline(1);
            }
            output_ += "\u2022 ";
            suppressSpace_ = true;
            break;
        case Command::openQuote:
            space();
            output_ += '"';
            suppressSpace_ = true;
            break;
        case Command::closeQuote:
            output_ += '"';
            output_ += second.trailing;
            suppressSpace_ = false;
            break;
        case Command::camelCase:
        case Command::snakeCase:
        case Command::allCaps:
            captureCase(command, tokens, position);
            break;
        }
    }

    std::string finish() && {
        // Scalar by scalar, so that no space can hide inside a larger character at either end.
        std::size_t end = output_.size();
        while (end > 0) {
            std::size_t start = end;
            if (!isTrimSpace(previousScalar(output_, start))) {
                break;
            }
            end = start;
        }
        output_.resize(end);
        std::size_t begin = 0;
        while (begin < output_.size()) {
            std::size_t next = begin;
            if (!isTrimSpace(nextScalar(output_, next))) {
                break;
            }
            begin = next;
        }
        output_.erase(0, begin);
        return std::move(output_);
    }

private:
    void space() {
        if (!suppressSpace_) {
            output_ += ' ';
        }
    }

    // Takes the words after a case command until trailing punctuation, the next command (once a
    // word is taken) or the end, and emits them styled.
    void captureCase(Command style, const std::vector<Token>& tokens, std::size_t& position) {
        std::vector<std::string> caseWords;
        std::string caseTail;
        while (position < tokens.size()) {
            if (!caseWords.empty() &&
                command(static_cast<std::ptrdiff_t>(position), tokens).has_value()) {
                break;
            }
            const Token& token = tokens[position++];
            std::string kept = lettersAndNumbers(token.word);
            if (!kept.empty()) {
                caseWords.push_back(std::move(kept));
            }
            if (!token.trailing.empty()) {
                caseTail = token.trailing;
                break;
            }
        }
        const std::string joined = join(style, caseWords);
        if (joined.empty()) {
            output_ += caseTail;
            return;
        }
        space();
        output_ += joined;
        output_ += caseTail;
        suppressSpace_ = false;
    }

    static std::string lettersAndNumbers(std::string_view word) {
        std::string kept;
        Characters characters(word);
        for (std::size_t at = 0; at < word.size();) {
            const std::size_t end = characters.next(at);
            if (isLetterOrNumber(scalarAt(word, at))) {
                kept.append(word.substr(at, end - at));
            }
            at = end;
        }
        return kept;
    }

    static std::string join(Command style, const std::vector<std::string>& words) {
        std::string joined;
        for (std::size_t i = 0; i < words.size(); ++i) {
            const std::string& word = words[i];
            if (style == Command::camelCase) {
                if (i == 0) {
                    appendLower(word, joined);
                    continue;
                }
                const std::size_t firstEnd = Characters(word).next(0);
                appendUpper(std::string_view(word).substr(0, firstEnd), joined);
                appendLower(std::string_view(word).substr(firstEnd), joined);
            } else if (style == Command::snakeCase) {
                joined += i == 0 ? "" : "_";
                appendLower(word, joined);
            } else {
                joined += i == 0 ? "" : " ";
                appendUpper(word, joined);
            }
        }
        return joined;
    }

    std::string output_;
    bool suppressSpace_ = true;
};

} // namespace

std::string clean(std::string_view text) {
    std::string storage;
    const std::vector<Token> tokens = tokenize(repaired(text, storage));
    Pipeline pipeline(text.size());
    std::size_t position = 0;
    while (position < tokens.size()) {
        const auto found = command(static_cast<std::ptrdiff_t>(position), tokens);
        if (!found) {
            pipeline.emitToken(tokens[position++]);
            continue;
        }
        const Token& second = tokens[position + 1];
        position += 2;
        pipeline.carryOut(*found, second, tokens, position);
    }
    return std::move(pipeline).finish();
}

} // namespace murmelin::TextCleaner
