#include "TextCleaner.h"

namespace murmelin::TextCleaner {

std::vector<Token> tokenize(std::string_view) { return {}; }

std::optional<Command> command(std::ptrdiff_t, const std::vector<Token>&) { return std::nullopt; }

std::string clean(std::string_view text) { return std::string(text); }

} // namespace murmelin::TextCleaner
