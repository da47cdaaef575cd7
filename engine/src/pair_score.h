// Scores the pairs one worker finds (see talvik/pair_score.h for the formula).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "name_index.h"
#include "talvik/pair_score.h"

namespace talvik {

// Every word's weight in bits, by id, over the index's names of two words or
// more. Throws std::bad_alloc.
std::vector<float> word_weights(const NameIndex& index);

// Per word, an upper bound on the evidence (before halving) that a link
// through a tradeout between it and another word can give, either way
// round: an initial's share, or the largest share of any other kind, of the
// lighter weight. Lets a search with a score floor tell which words are
// worth finding only as themselves. Throws std::bad_alloc.
std::vector<float> tradeout_caps(const NameIndex& index, std::span<const float> weights);

// One position of the row being scored: an indexed word, or a looked-up
// name's word that the index may not hold.
struct RowWord {
    int32_t id = -1;  // the index's id, or -1
    float weight = 0.0f;
    std::string_view text;  // needed only when id is -1: a known word is read by id
    std::span<const int32_t> trades;     // rising: the index's words it lists as tradeouts
    std::span<const int32_t> listed_by;  // rising, when id is -1: the index's words that list it
};

class PairScorer {
public:
    // `weights` as word_weights gives them, which must outlive the scorer.
    PairScorer(const NameIndex& index, std::span<const float> weights) noexcept;

    // The row every following score() is against: an indexed name's words.
    // Throws std::bad_alloc.
    void set_row(std::span<const int32_t> row);
    // The same for a name that is not indexed; `row` must outlive the scores.
    void set_row(std::span<const RowWord> row);
    // The score of the row against a name of these word ids. Throws std::bad_alloc.
    float score(std::span<const int32_t> other);
    // The same, with each position's part: the row's positions, then the other's.
    float account(std::span<const int32_t> other, std::vector<ScoredWord>& out);

    std::span<const float> weights() const noexcept { return weights_; }
    // The weight of a word in bits.
    float weight(int32_t word) const noexcept { return weights_[static_cast<size_t>(word)]; }

private:
    // Each position of `words` looked for in `sorted`, appended to words_;
    // returns how many were not found.
    int32_t look_up_row(std::span<const int32_t> other, bool sorted);
    int32_t look_up_other(std::span<const int32_t> other);
    ScoredWord row_through_tradeout(const RowWord& word, std::span<const int32_t> other);
    ScoredWord other_through_tradeout(int32_t word);
    FoundAs kind(int32_t word, int32_t via);
    FoundAs kind(int32_t word, const RowWord& via);
    void sort_row_ids();
    float evaluate(std::span<const int32_t> other);

    const NameIndex& index_;
    std::span<const float> weights_;
    float log2_names_;
    std::vector<RowWord> own_row_;     // an indexed row's words, as set_row made them
    std::span<const RowWord> row_;
    std::vector<int32_t> row_sorted_;  // the row's ids, rising
    std::vector<int32_t> other_sorted_;
    std::vector<ScoredWord> words_;
    std::vector<uint32_t> code_points_[2];
    // The kinds of tradeouts met lately, by (word, via); 0: an empty slot.
    std::array<uint64_t, 1024> kind_keys_{};
    std::array<FoundAs, 1024> kind_values_{};
};

}  // namespace talvik
