// Scores the pairs one worker finds (see talvik/pair_score.h for the formula).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "name_index.h"
#include "talvik/pair_score.h"

namespace talvik {

// The names of two words or more: the N of every word's weight.
int64_t scored_name_count(const NameIndex& index) noexcept;

class PairScorer {
public:
    PairScorer(const NameIndex& index, int64_t names) noexcept;

    // The row every following score() is against. Throws std::bad_alloc.
    void set_row(std::span<const int32_t> row);
    // The score of the row against a name of these word ids. Throws std::bad_alloc.
    float score(std::span<const int32_t> other);
    // The same, with each position's part: the row's positions, then the other's.
    float account(std::span<const int32_t> other, std::vector<ScoredWord>& out);

    // The weight of a word in bits.
    float weight(int32_t word) const noexcept;

private:
    // Each position of `words` looked for in `sorted`, appended to words_;
    // returns how many were not found.
    int32_t look_up(std::span<const int32_t> words, const std::vector<int32_t>& sorted);
    ScoredWord found_through_tradeout(int32_t word, float own, const std::vector<int32_t>& sorted);
    float evaluate(std::span<const int32_t> other);

    const NameIndex& index_;
    float log2_names_;
    std::span<const int32_t> row_;
    std::vector<int32_t> row_sorted_;
    std::vector<int32_t> other_sorted_;
    std::vector<ScoredWord> words_;
    std::vector<uint32_t> code_points_[2];
};

}  // namespace talvik
