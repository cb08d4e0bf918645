#pragma once

#include <string>

namespace murmelin {

// Turns a decoder hypothesis into the transcript the recogniser reports: words joined by
// single spaces, with the decoder's own markers dropped (alternative pronunciations such as
// "read(2)", fillers such as "<sil>" or "[noise]"). Pure; any thread.
std::string formatHypothesis(const std::string& hypothesis);

} // namespace murmelin
