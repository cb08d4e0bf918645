#include "TextCleaner.h"
#include "TextCleanerTokens.h"

#include <array>

namespace murmelin::TextCleaner {

using namespace detail;

namespace {

// The token sequence seen through a two-token window: commands never look further ahead, so
// the whole sequence is never held at once and long transcripts cost linear time and no more
// memory than the output.
class Window {
public:
    explicit Window(std::string_view text) : stream_(text) {
        count_ = stream_.next(slots_[0]) ? 1 : 0;
        if (count_ == 1 && stream_.next(slots_[1])) {
            count_ = 2;
        }
    }

    bool empty() const { return count_ == 0; }
    const Token& first() const { return slots_[head_]; }
    const Token& second() const { return slots_[head_ ^ 1]; }

    /// The command that begins at the first token, if any.
    std::optional<Command> command() const {
        return count_ == 2 ? commandOf(first(), second()) : std::nullopt;
    }

    /// Drops the first token; the second one becomes the first.
    void advance() {
        if (count_ == 2 && stream_.next(slots_[head_])) {
            head_ ^= 1;
            return;
        }
        head_ ^= 1;
        --count_;
    }

private:
    TokenStream stream_;
    std::array<Token, 2> slots_;
    std::size_t head_ = 0;
    int count_ = 0;
};

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

    // Carries out the command at the front of `window` and moves past what it used up.
    void carryOut(Command command, Window& window) {
        if (command == Command::closeQuote) {
            output_ += '"';
            output_ += window.second().trailing;
            suppressSpace_ = false;
        }
        window.advance();
        window.advance();
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
            break;
        case Command::camelCase:
        case Command::snakeCase:
        case Command::allCaps:
            captureCase(command, window);
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
    void captureCase(Command style, Window& window) {
        std::vector<std::string> caseWords;
        std::string caseTail;
        while (!window.empty()) {
            if (!caseWords.empty() && window.command()) {
                break;
            }
            const Token& token = window.first();
            std::string kept = lettersAndNumbers(token.word);
            if (!kept.empty()) {
                caseWords.push_back(std::move(kept));
            }
            const bool ends = !token.trailing.empty();
            if (ends) {
                caseTail = token.trailing;
            }
            window.advance();
            if (ends) {
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
    Window window(repaired(text, storage));
    Pipeline pipeline(text.size());
    while (!window.empty()) {
        if (const auto found = window.command()) {
            pipeline.carryOut(*found, window);
        } else {
            pipeline.emitToken(window.first());
            window.advance();
        }
    }
    return std::move(pipeline).finish();
}

} // namespace murmelin::TextCleaner
