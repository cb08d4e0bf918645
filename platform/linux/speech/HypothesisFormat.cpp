#include "HypothesisFormat.h"

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
        text += withoutVariant(word);
    }
    return text;
}

} // namespace murmelin
