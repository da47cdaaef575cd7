// Pair scores the slow, obvious way: every weight counted from the names'
// strings, every word looked up by comparing strings, every kind of tradeout
// read from the words' code points with the full edit-distance table, and
// the sum taken in double. Shares no code with the engine's scorer (no
// NameIndex, no PairScorer); the oracle the tests and the fuzzer hold the
// engine's scores to.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "talvik/pair_score.h"
#include "talvik/tradeout_table.h"

namespace talvik::reference {

// The share of its weight a word found that way counts, as docs/scores.md
// tabulates it; restated here so that a changed constant in the engine shows.
double reference_share(FoundAs how);

// The kind of tradeout linking two different words: an initial when one is a
// single code point (a full stop may follow) that begins the other, letters
// A-Z and a-z compared without case; else one or two edits by the optimal
// string alignment distance over code points (a byte that begins no valid
// sequence is a code point of its own); else a plain tradeout.
FoundAs reference_kind(std::string_view word, std::string_view via);

struct ReferenceWord {
    FoundAs how = FoundAs::missing;
    double weight = 0.0;
    double contribution = 0.0;  // half of weight * share, or of evidence
    // For a word found through a tradeout: share * weight, less half of log2
    // of the rarer word's df for a spelling variant, never below zero.
    double evidence = 0.0;
    // Another way of finding the word gives the same contribution with
    // another kind, so an engine may report either.
    bool tied = false;
};

struct ReferenceScore {
    std::vector<ReferenceWord> words1;
    std::vector<ReferenceWord> words2;
    double score = 0.0;
    // The sum of every term's size, log2(N) included: the scale of the
    // rounding a float sum of the same terms may make.
    double magnitude = 0.0;
};

class ScoreReference {
public:
    // Counts the words of `names`; keeps views of them and of the table,
    // which must outlive it.
    ScoreReference(std::span<const std::string_view> names, const TradeoutTable& table);

    // Names of two words or more, and log2 of that (0 for none).
    int64_t scored_names() const { return scored_names_; }
    double log2_names() const;
    // log2(N / df), df the names of two words or more holding the word; a
    // word that no such name holds weighs as one held by one.
    double weight(std::string_view word) const;
    // That df (1 for a word no such name holds).
    int64_t df(std::string_view word) const;

    // The score of names i and j (any two indices; they need not match).
    ReferenceScore score(int32_t i, int32_t j) const;

private:
    std::vector<ReferenceWord> look_up(const std::vector<std::string_view>& words,
                                       const std::vector<std::string_view>& other) const;

    const TradeoutTable& table_;
    std::vector<std::vector<std::string_view>> words_;  // per name, by position
    std::map<std::string_view, int64_t> df_;
    int64_t scored_names_ = 0;
};

// Whether an engine's float score agrees with the reference: within 1e-3 of
// the magnitude plus 1e-4.
bool score_agrees(double engine, const ReferenceScore& reference);
// The largest difference score_agrees allows.
double score_tolerance(const ReferenceScore& reference);

}  // namespace talvik::reference
