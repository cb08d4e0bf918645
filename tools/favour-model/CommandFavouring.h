#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "TextCleaner.h"

namespace murmelin {

using TextCleaner::CommandPhrase;
using TextCleaner::commandPhrases;

// How strongly the command phrases are favoured in a back-off n-gram model.
//
// After each first word, every one of its command second words is raised to the probability of
// the most likely word that first word already had (never lowered), and everything else that
// history predicts (its other bigrams and its back-off weight) is scaled down so that the
// history still sums to one. Each first word's unigram is raised to at least `firstWordFloor`,
// and each phrase also becomes one word of its own; the other unigrams are scaled down to match.
// The rest of the model is left as it is, so ordinary speech is decoded as before; back-off
// weights are not renormalised for the rescaled unigrams, which moves a history's total by at
// most the share those give up (about 3 % with the defaults) of what it leaves to back-off.
struct FavourSettings {
    double firstWordFloor = 1e-4;
    // After a first word its command words together take at least this share, in equal parts.
    double phraseFloor = 0;
    // The command words after one first word never take more than this share of its history.
    double maxPhraseShare = 0.9;
    // The unigram probability of each phrase as one word (see joinedWord); none when zero.
    double joinedWordProbability = 3e-3;
};

// Writes `arpa` (an ARPA text model of order two or more) to `out` with the command phrases
// favoured, adding the command bigrams it lacks and the phrases as joined words. A phrase whose
// words the model does not know is left out. Returns false, with the reason in `why`, when `arpa`
// cannot be read as a model or knows none of the phrases; `out` is then incomplete.
bool favourCommands(std::string_view arpa, std::span<const CommandPhrase> phrases,
                    const FavourSettings& settings, std::ostream& out, std::string& why);

// The number of bigrams a sphinxbase trie model file really holds (its unigram table's end
// marker), which the file's header may overstate; nothing when `path` is not such a file.
std::optional<std::uint32_t> storedBigramCount(const std::string& path);

} // namespace murmelin
