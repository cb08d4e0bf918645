#pragma once

#include <string>

namespace murmelin {

// Turns a decoder hypothesis into the transcript the recogniser reports: words joined by
// single spaces, with the decoder's own markers dropped (alternative pronunciations such as
// "read(2)", fillers such as "<sil>" or "[noise]"), a phrase decoded as one word
// ("bullet_point") written as its words, the first letter in uppercase and the
// pronoun "i" with its contractions ("i'm", "i'll", "i've", "i'd") written "I...". Nothing else
// changes: the recogniser invents no punctuation. Pure; any thread.
std::string formatHypothesis(const std::string& hypothesis);

} // namespace murmelin
