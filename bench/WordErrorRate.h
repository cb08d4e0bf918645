#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace murmelin {

// Word-level edit distance between a reference transcript and a recogniser's hypothesis,
// for measuring recognition quality. Words are split on white space and compared exactly.
struct WordErrors {
    std::size_t substitutions = 0;
    std::size_t deletions = 0;
    std::size_t insertions = 0;
    std::size_t referenceWords = 0;

    std::size_t errors() const { return substitutions + deletions + insertions; }
    // errors / reference words; 0 for an empty reference with an empty hypothesis.
    double rate() const;
    WordErrors& operator+=(const WordErrors& other);
};

std::vector<std::string> splitWords(const std::string& text);
WordErrors wordErrors(const std::string& reference, const std::string& hypothesis);

} // namespace murmelin
