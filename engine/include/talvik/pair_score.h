// How strongly two matching names point at one person: a score in bits.
//
// Every word position of both names adds evidence by how it was found in the
// other name, weighted by how rare its word is among the indexed names: a
// word held by df of the N names of two words or more weighs log2(N / df)
// bits. A word found as itself counts its whole weight; one found through a
// tradeout counts a share of the lighter of the two words' weights (the share
// depends on the kind of tradeout, below), a spelling variant less half of
// log2 of the rarer word's df (link_evidence). A word not found counts against
// the pair: a small share of its weight when only one name has words left
// over (a missing middle name), a larger share when both have (a
// conflicting one). The score is half the sum over both names' positions
// (each link is seen from both sides), less log2(N), the prior odds against
// two names drawn at random being one person; above zero the evidence
// outweighs that prior.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace talvik {

// How a word position was found in the other name, as the score sees it.
enum class FoundAs : uint8_t {
    same,       // the same word
    tradeout,   // a tradeout that is no spelling variant and no initial (a nickname)
    one_edit,   // a tradeout one edit away
    two_edits,  // a tradeout two edits away
    initial,    // a tradeout where one word is the other's initial
    missing,    // not found; the other name has every word found
    conflict,   // not found, and neither has the other name every word found
};

// The share of a word's weight each way of being found counts; negative
// against the pair.
constexpr float score_share(FoundAs how) noexcept {
    switch (how) {
        case FoundAs::same: return 1.0f;
        case FoundAs::tradeout: return 0.6f;
        case FoundAs::one_edit: return 0.8f;
        case FoundAs::two_edits: return 0.5f;
        case FoundAs::initial: return 0.5f;
        case FoundAs::missing: return -0.3f;
        case FoundAs::conflict: return -0.5f;
    }
    return 0.0f;
}

// What a spelling variant loses per bit of log2(df) of the rarer of its two
// words. A typo makes a word that few names hold, while two words that many
// names hold are more likely two names ("Saul" and "Raul") than one misspelt:
// on labelled data this lifts precision more than it costs recall.
inline constexpr float variant_commonness = 0.5f;

// The evidence, before halving, of a word of weight `weight` found through a
// tradeout of kind `how` (not same, missing or conflict) to a word of weight
// `via_weight`, among names whose count has log2 `log2_names`. Never below zero.
constexpr float link_evidence(FoundAs how, float weight, float via_weight, float log2_names) noexcept {
    const float lighter = weight < via_weight ? weight : via_weight;
    float evidence = score_share(how) * lighter;
    if (how == FoundAs::one_edit || how == FoundAs::two_edits) {
        // log2 of the rarer word's df: what its weight leaves of log2(N).
        const float rarer = weight < via_weight ? via_weight : weight;
        const float common = log2_names > rarer ? log2_names - rarer : 0.0f;
        evidence -= variant_commonness * common;
    }
    return evidence > 0.0f ? evidence : 0.0f;
}

// Which kind of tradeout links two different words: an initial when one is a
// single code point (a full stop may follow) that begins the other, else a
// spelling variant when within two edits (as the variant finder counts
// them), else a plain tradeout.
FoundAs tradeout_kind(std::string_view word, std::string_view via);

// One position's part of a score, for explanations.
struct ScoredWord {
    FoundAs how = FoundAs::missing;
    float weight = 0.0f;        // the bits the word (or the lighter of the two) weighs
    float contribution = 0.0f;  // half of weight * score_share(how), or of link_evidence
};

class SearchIndex;

// A pair's score position by position, for explanations.
struct ScoreAccount {
    std::vector<ScoredWord> words1;  // name1's positions, in order
    std::vector<ScoredWord> words2;
    float score = 0.0f;
};

// The score indexed names name1 and name2 would have as a pair, and each
// position's part (both indices valid; they need not match). Reads every
// word's weight, so it costs a pass over the words. Throws std::bad_alloc.
ScoreAccount score_account(const SearchIndex& index, int32_t name1, int32_t name2);

// Per word, the score two names written as that one word alone would have:
// the word found as itself from both sides, its weight less log2(N), that
// is -log2(df) (0 for a word no indexed name holds). The rule never pairs
// one-word names, but two records that hold nothing but the same rare word,
// a surname whose given name is missing in both, point at one person all
// the same. Throws std::bad_alloc.
std::vector<float> single_word_scores(const SearchIndex& index, std::span<const std::string_view> words);

}  // namespace talvik
