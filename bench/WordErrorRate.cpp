#include "WordErrorRate.h"

#include <sstream>

namespace murmelin {

double WordErrors::rate() const {
    if (referenceWords == 0) {
        return errors() == 0 ? 0.0 : 1.0;
    }
    return static_cast<double>(errors()) / static_cast<double>(referenceWords);
}

WordErrors& WordErrors::operator+=(const WordErrors& other) {
    substitutions += other.substitutions;
    deletions += other.deletions;
    insertions += other.insertions;
    referenceWords += other.referenceWords;
    return *this;
}

std::vector<std::string> splitWords(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    return words;
}

WordErrors wordErrors(const std::string& reference, const std::string& hypothesis) {
    const auto ref = splitWords(reference);
    const auto hyp = splitWords(hypothesis);
    struct Cell {
        std::size_t cost = 0, sub = 0, del = 0, ins = 0;
    };
    // Levenshtein table over words; each cell remembers how its cost splits up.
    std::vector<std::vector<Cell>> d(ref.size() + 1, std::vector<Cell>(hyp.size() + 1));
    for (std::size_t i = 1; i <= ref.size(); ++i) {
        d[i][0] = {i, 0, i, 0};
    }
    for (std::size_t j = 1; j <= hyp.size(); ++j) {
        d[0][j] = {j, 0, 0, j};
    }
    for (std::size_t i = 1; i <= ref.size(); ++i) {
        for (std::size_t j = 1; j <= hyp.size(); ++j) {
            Cell best = d[i - 1][j - 1];
            if (ref[i - 1] != hyp[j - 1]) {
                ++best.cost;
                ++best.sub;
            }
            Cell del = d[i - 1][j];
            ++del.cost;
            ++del.del;
            Cell ins = d[i][j - 1];
            ++ins.cost;
            ++ins.ins;
            if (del.cost < best.cost) {
                best = del;
            }
            if (ins.cost < best.cost) {
                best = ins;
            }
            d[i][j] = best;
        }
    }
    const Cell& last = d[ref.size()][hyp.size()];
    return {last.sub, last.del, last.ins, ref.size()};
}

} // namespace murmelin
