#include "CommandFavouring.h"
#include "LanguageModel.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <unordered_map>
#include <vector>

namespace murmelin {
namespace {

// One line of an n-gram section: log10 probability, the words, and the back-off weight if any.
struct Entry {
    double logProb = 0;
    std::vector<std::string_view> words;
    std::optional<double> backoff;
};

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && isSpace(line[at])) {
            ++at;
        }
        const std::size_t start = at;
        while (at < line.size() && !isSpace(line[at])) {
            ++at;
        }
        if (at > start) {
            out.push_back(line.substr(start, at - start));
        }
    }
    return out;
}

std::optional<double> number(std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<Entry> parseEntry(std::string_view line, int order) {
    const auto parts = fields(line);
    if (parts.size() != static_cast<std::size_t>(order) + 1 &&
        parts.size() != static_cast<std::size_t>(order) + 2) {
        return std::nullopt;
    }
    Entry entry;
    const auto p = number(parts[0]);
    if (!p) {
        return std::nullopt;
    }
    entry.logProb = *p;
    entry.words.assign(parts.begin() + 1, parts.begin() + 1 + order);
    if (parts.size() == static_cast<std::size_t>(order) + 2) {
        entry.backoff = number(parts.back());
        if (!entry.backoff) {
            return std::nullopt;
        }
    }
    return entry;
}

void writeEntry(std::ostream& out, double logProb, const std::vector<std::string_view>& words,
                std::optional<double> backoff) {
    char number[32];
    std::snprintf(number, sizeof number, "%.4f", logProb);
    out << number;
    for (const auto word : words) {
        out << '\t' << word;
    }
    if (backoff) {
        std::snprintf(number, sizeof number, "%.4f", *backoff);
        out << '\t' << number;
    }
    out << '\n';
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

std::string_view trimmed(std::string_view line) {
    while (!line.empty() && isSpace(line.back())) {
        line.remove_suffix(1);
    }
    while (!line.empty() && isSpace(line.front())) {
        line.remove_prefix(1);
    }
    return line;
}

// Where each part of the text is, by line number.
struct Layout {
    std::vector<std::size_t> countLines;    // "ngram N=…", N = 1, 2, …
    std::vector<std::size_t> sectionStarts; // the "\N-grams:" lines
    std::size_t end = 0;                    // the "\end\" line
};

std::optional<Layout> findLayout(const std::vector<std::string_view>& lines) {
    Layout layout;
    bool inData = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto line = trimmed(lines[i]);
        if (line == "\\data\\") {
            inData = true;
        } else if (inData && line.starts_with("ngram ")) {
            layout.countLines.push_back(i);
        } else if (line.size() > 8 && line.front() == '\\' && line.ends_with("-grams:")) {
            inData = false;
            layout.sectionStarts.push_back(i);
        } else if (line == "\\end\\") {
            layout.end = i;
            break;
        }
    }
    if (layout.countLines.size() < 2 || layout.sectionStarts.size() != layout.countLines.size() ||
        layout.end == 0) {
        return std::nullopt;
    }
    return layout;
}

double log10Of(double p) {
    return std::log10(p);
}

} // namespace

bool favourCommands(std::string_view arpa, std::span<const CommandPhrase> phrases,
                    const FavourSettings& settings, std::ostream& out, std::string& why) {
    const auto lines = splitLines(arpa);
    const auto layout = findLayout(lines);
    if (!layout) {
        why = "not an ARPA model of order two or more";
        return false;
    }
    const int order = static_cast<int>(layout->countLines.size());
    const std::size_t unigramEnd = layout->sectionStarts[1];
    const std::size_t bigramEnd = order > 2 ? layout->sectionStarts[2] : layout->end;

    std::unordered_map<std::string_view, Entry> unigrams;
    for (std::size_t i = layout->sectionStarts[0] + 1; i < unigramEnd; ++i) {
        if (trimmed(lines[i]).empty()) {
            continue;
        }
        auto entry = parseEntry(lines[i], 1);
        if (!entry) {
            why = "unreadable unigram line " + std::to_string(i + 1);
            return false;
        }
        unigrams.emplace(entry->words[0], std::move(*entry));
    }

    // The phrases this model can favour, grouped by first word.
    std::map<std::string_view, std::vector<std::string_view>> seconds;
    for (const auto& phrase : phrases) {
        if (unigrams.contains(phrase.first) && unigrams.contains(phrase.second)) {
            seconds[phrase.first].push_back(phrase.second);
        }
    }
    if (seconds.empty()) {
        why = "the model has none of the command words";
        return false;
    }

    // Unigrams: the first words get their floor and the joined words are new; every other word
    // gives up the same share.
    std::vector<std::string> joined;
    for (const auto& phrase : phrases) {
        const std::string word = joinedWord(phrase);
        if (settings.joinedWordProbability > 0 && seconds.contains(phrase.first) &&
            !unigrams.contains(word)) {
            joined.push_back(word);
        }
    }
    double oldMass = 0, newMass = settings.joinedWordProbability * joined.size();
    std::map<std::string_view, double> newUnigram;
    for (const auto& [first, unused] : seconds) {
        const double p = std::pow(10.0, unigrams.at(first).logProb);
        oldMass += p;
        newMass += std::max(p, settings.firstWordFloor);
        newUnigram[first] = log10Of(std::max(p, settings.firstWordFloor));
    }
    const double unigramScale = log10Of((1 - newMass) / (1 - oldMass));
    const auto unigramProb = [&](std::string_view word) {
        const auto floored = newUnigram.find(word);
        return std::pow(10.0, floored != newUnigram.end()
                                  ? floored->second
                                  : unigrams.at(word).logProb + unigramScale);
    };

    // Bigrams of each first word.
    std::map<std::string_view, std::map<std::string_view, double>> histories;
    for (std::size_t i = unigramEnd + 1; i < bigramEnd; ++i) {
        const auto parts = fields(lines[i]);
        if (parts.size() >= 3 && seconds.contains(parts[1])) {
            const auto p = number(parts[0]);
            if (!p) {
                why = "unreadable bigram line " + std::to_string(i + 1);
                return false;
            }
            histories[parts[1]][parts[2]] = *p;
        }
    }

    std::map<std::pair<std::string_view, std::string_view>, double> raised; // log10 p
    std::map<std::string_view, double> historyScale;                        // log10 factor
    std::vector<std::pair<std::string_view, std::string_view>> added;
    for (const auto& [first, wanted] : seconds) {
        const auto& seen = histories[first];
        double best = 0;
        for (const auto& [word, logProb] : seen) {
            best = std::max(best, std::pow(10.0, logProb));
        }
        const double backoff = std::pow(10.0, unigrams.at(first).backoff.value_or(0));
        std::vector<double> before, after;
        double sumBefore = 0, sumAfter = 0;
        for (const auto second : wanted) {
            const auto known = seen.find(second);
            const double old =
                known != seen.end() ? std::pow(10.0, known->second) : backoff * unigramProb(second);
            before.push_back(old);
            after.push_back(std::max({old, best, settings.phraseFloor / wanted.size()}));
            sumBefore += old;
            sumAfter += after.back();
        }
        if (sumAfter > settings.maxPhraseShare) {
            const double shrink = settings.maxPhraseShare / sumAfter;
            sumAfter = 0;
            for (std::size_t k = 0; k < after.size(); ++k) {
                after[k] = std::max(before[k], after[k] * shrink);
                sumAfter += after[k];
            }
        }
        if (sumAfter >= 1 || sumAfter <= sumBefore) {
            continue; // nothing to raise, or no room to raise it in
        }
        historyScale[first] = log10Of((1 - sumAfter) / (1 - sumBefore));
        for (std::size_t k = 0; k < wanted.size(); ++k) {
            raised[{first, wanted[k]}] = log10Of(after[k]);
            if (!seen.contains(wanted[k])) {
                added.emplace_back(first, wanted[k]);
            }
        }
    }

    // Everything before the unigrams, with the counts grown by what was added.
    for (std::size_t i = 0; i <= layout->sectionStarts[0]; ++i) {
        const std::size_t grown = i == layout->countLines[0]   ? joined.size()
                                  : i == layout->countLines[1] ? added.size()
                                                               : 0;
        if (grown > 0) {
            const auto line = trimmed(lines[i]);
            const auto equals = line.find('=');
            const auto count = line.substr(equals + 1);
            std::size_t n = 0;
            std::from_chars(count.data(), count.data() + count.size(), n);
            out << line.substr(0, equals + 1) << n + grown << '\n';
        } else {
            out << lines[i] << '\n';
        }
    }
    const bool rescale = std::abs(unigramScale) >= 5e-5; // below the text's precision otherwise
    // Joined words go at the end of the section, before its closing blank lines.
    std::size_t unigramsEnd = unigramEnd;
    while (unigramsEnd > layout->sectionStarts[0] + 1 && trimmed(lines[unigramsEnd - 1]).empty()) {
        --unigramsEnd;
    }
    for (std::size_t i = layout->sectionStarts[0] + 1; i < unigramEnd; ++i) {
        if (i == unigramsEnd) {
            for (const auto& word : joined) {
                // No bigrams start with a joined word: a back-off weight of one.
                writeEntry(out, log10Of(settings.joinedWordProbability), {word},
                           std::optional<double>(0.0));
            }
        }
        const auto parts = fields(lines[i]);
        if (parts.empty()) {
            out << lines[i] << '\n';
            continue;
        }
        const Entry& entry = unigrams.at(parts[1]);
        const auto floored = newUnigram.find(parts[1]);
        const auto scale = historyScale.find(parts[1]);
        if (floored == newUnigram.end() && scale == historyScale.end() &&
            (!rescale || entry.logProb <= -99)) {
            out << lines[i] << '\n';
            continue;
        }
        auto backoff = entry.backoff;
        if (scale != historyScale.end()) {
            backoff = backoff.value_or(0) + scale->second;
        }
        writeEntry(out,
                   floored != newUnigram.end() ? floored->second : entry.logProb + unigramScale,
                   entry.words, backoff);
    }
    out << lines[unigramEnd] << '\n';
    for (std::size_t i = unigramEnd + 1; i < bigramEnd; ++i) {
        const auto parts = fields(lines[i]);
        const bool last = i + 1 == bigramEnd;
        if (parts.size() >= 3 && historyScale.contains(parts[1])) {
            auto entry = parseEntry(lines[i], 2);
            if (!entry) {
                why = "unreadable bigram line " + std::to_string(i + 1);
                return false;
            }
            const auto up = raised.find({parts[1], parts[2]});
            writeEntry(out,
                       up != raised.end() ? up->second : entry->logProb + historyScale.at(parts[1]),
                       entry->words, entry->backoff);
        } else if (!(last && parts.empty())) {
            out << lines[i] << '\n';
        }
        if (last) {
            // New bigrams start no longer n-grams: a back-off weight of one.
            for (const auto& [first, second] : added) {
                writeEntry(out, raised.at({first, second}), {first, second},
                           order > 2 ? std::optional<double>(0.0) : std::nullopt);
            }
            if (parts.empty()) {
                out << '\n';
            }
        }
    }
    for (std::size_t i = bigramEnd; i < lines.size(); ++i) {
        out << lines[i] << '\n';
    }
    return true;
}

std::optional<std::uint32_t> storedBigramCount(const std::string& path) {
    // Layout of sphinxbase's trie format: magic, order, counts, then (from order two) a
    // quantiser tag and 16-bit tables (probability and back-off for each middle order,
    // probability for the last), then the unigram table of {prob, backoff, next} with one
    // extra end entry whose "next" is the number of bigrams stored.
    static constexpr char kMagic[] = "Trie Language Model";
    std::ifstream in(path, std::ios::binary);
    char magic[sizeof kMagic - 1] = {};
    std::uint8_t order = 0;
    if (!in.read(magic, sizeof magic) || std::memcmp(magic, kMagic, sizeof magic) != 0 ||
        !in.read(reinterpret_cast<char*>(&order), 1) || order < 2 || order > 6) {
        return std::nullopt;
    }
    std::uint32_t counts[6] = {};
    std::int32_t quantiser = 0;
    if (!in.read(reinterpret_cast<char*>(counts), order * sizeof(std::uint32_t)) ||
        !in.read(reinterpret_cast<char*>(&quantiser), sizeof quantiser) || quantiser != 1) {
        return std::nullopt;
    }
    const std::streamoff tables = ((order - 2) * 2 + 1) * 65536LL * 4;
    const std::streamoff endEntry = 12LL * counts[0] + 8;
    std::uint32_t next = 0;
    if (!in.seekg(tables + endEntry, std::ios::cur) ||
        !in.read(reinterpret_cast<char*>(&next), sizeof next)) {
        return std::nullopt;
    }
    return next;
}

} // namespace murmelin
