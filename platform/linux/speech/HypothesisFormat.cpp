#include "HypothesisFormat.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <sstream>

namespace murmelin {
namespace {

bool isFiller(const std::string& word) {
    return word.empty() || word.front() == '<' || word.front() == '[' || word.front() == '+';
}

// "word(2)" names the second pronunciation of "word".
std::string withoutVariant(const std::string& word) {
    if (word.size() > 3 && word.back() == ')') {
        const auto open = word.rfind('(');
        if (open != std::string::npos && open > 0) {
            return word.substr(0, open);
        }
    }
    return word;
}

// The pronoun and its contractions are the decoder's only words that English always writes
// capitalised.
std::string withPronounCapital(const std::string& word) {
    if (word == "i") {
        return "I";
    }
    for (const char* rest : {"'m", "'ll", "'ve", "'d"}) {
        if (word.size() > 1 && word[0] == 'i' && word.compare(1, std::string::npos, rest) == 0) {
            return "I" + word.substr(1);
        }
    }
    return word;
}

// The first letter of the text in uppercase (full mapping: "ß" becomes "SS"). Leading
// punctuation such as an apostrophe is passed over; a text that starts with a digit or a
// symbol is left alone.
std::string withInitialCapital(const std::string& text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    int32_t at = 0;
    while (at < length) {
        const int32_t start = at;
        UChar32 c = 0;
        U8_NEXT(bytes, at, length, c);
        if (c < 0) {
            return text;
        }
        if (u_isalpha(c)) {
            std::string upper;
            icu::UnicodeString(c).toUpper(icu::Locale::getRoot()).toUTF8String(upper);
            return text.substr(0, start) + upper + text.substr(at);
        }
        if (!u_ispunct(c)) {
            return text;
        }
    }
    return text;
}

} // namespace

std::string formatHypothesis(const std::string& hypothesis) {
    std::istringstream words(hypothesis);
    std::string word;
    std::string text;
    while (words >> word) {
        if (isFiller(word)) {
            continue;
        }
        if (!text.empty()) {
            text += ' ';
        }
        std::string plain = withPronounCapital(withoutVariant(word));
        // A phrase the decoder knows as one word ("bullet_point") is written as its words.
        std::replace(plain.begin(), plain.end(), '_', ' ');
        text += plain;
    }
    return withInitialCapital(text);
}

} // namespace murmelin
