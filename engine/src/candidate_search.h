// How one row finds its matches through the index: the candidate names that
// hold words found from two of the row's positions, each then checked exactly
// against the rule.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "name_index.h"
#include "talvik/match_rule.h"

namespace talvik {

// Per row, for each word that can be found from it: the row's positions it
// finds, and whether a position of another name holding it is found in the
// row. Open addressing, cleared by a generation.
template <class Mark>
class MarkTable {
public:
    void reset(size_t expected) {
        size_t capacity = 16;
        while (capacity < 2 * expected) capacity *= 2;
        if (capacity > slots_.size()) {
            slots_.assign(capacity, Slot{});
            generation_ = 0;
        }
        mask_ = capacity - 1;
        shift_ = 32 - std::countr_zero(capacity);
        if (++generation_ == 0) {  // wrapped: old marks would look current
            std::fill(slots_.begin(), slots_.end(), Slot{});
            generation_ = 1;
        }
    }

    Mark& at(int32_t word) noexcept {
        for (size_t s = home(word);; s = (s + 1) & mask_) {
            Slot& slot = slots_[s];
            if (slot.generation != generation_) {
                slot = Slot{word, generation_, Mark{}};
                return slot.mark;
            }
            if (slot.word == word) return slot.mark;
        }
    }

    const Mark* find(int32_t word) const noexcept {
        for (size_t s = home(word);; s = (s + 1) & mask_) {
            const Slot& slot = slots_[s];
            if (slot.generation != generation_) return nullptr;
            if (slot.word == word) return &slot.mark;
        }
    }

private:
    struct Slot {
        int32_t word = 0;
        uint32_t generation = 0;
        Mark mark{};
    };
    size_t home(int32_t word) const noexcept {
        return (static_cast<uint32_t>(word) * 0x9E3779B1u) >> shift_;
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    int shift_ = 32;
    uint32_t generation_ = 0;
};

// The same for long rows, whose marks are many: a slot per word id, found
// without probing. Grows to the largest id marked; throws std::bad_alloc.
template <class Mark>
class DenseMarkTable {
public:
    void reset() {
        if (++generation_ == 0) {  // wrapped: old marks would look current
            std::fill(slots_.begin(), slots_.end(), Slot{});
            generation_ = 1;
        }
    }

    Mark& at(int32_t word) {
        const auto w = static_cast<size_t>(word);
        if (w >= slots_.size()) slots_.resize(std::max(w + 1, 2 * slots_.size()));
        Slot& slot = slots_[w];
        if (slot.generation != generation_) slot = Slot{generation_, Mark{}};
        return slot.mark;
    }

    const Mark* find(int32_t word) const noexcept {
        const auto w = static_cast<size_t>(word);
        if (w >= slots_.size() || slots_[w].generation != generation_) return nullptr;
        return &slots_[w].mark;
    }

private:
    struct Slot {
        uint32_t generation = 0;
        Mark mark{};
    };
    std::vector<Slot> slots_;
    uint32_t generation_ = 0;
};

// Rows of up to 32 words: a bit per position.
struct RowMark {
    uint32_t positions = 0;   // bit p: the word is position p's word or one of its tradeouts
    uint32_t found_back = 0;  // 1: the word, or one of its tradeouts, is a word of the row
};

// Longer rows: no name needs more than most_words_needed positions found, so
// that many distinct positions per word tell all a check needs.
struct LongRowMark {
    static constexpr int32_t kept = most_words_needed;
    int32_t positions[kept] = {};
    int32_t count = 0;
    uint32_t found_back = 0;

    void add(int32_t p) noexcept {
        if (count < kept && (count == 0 || positions[count - 1] != p)) positions[count++] = p;
    }
    // Adds another mark's positions, up to `kept` distinct ones in all.
    void merge(const LongRowMark& other) noexcept {
        for (int32_t k = 0; k < other.count && count < kept; ++k) {
            const int32_t p = other.positions[k];
            if (std::find(positions, positions + count, p) == positions + count) positions[count++] = p;
        }
    }
};

// Calls f(j) for each candidate in order, fetching the words of those to
// come ahead: candidates are scattered, and each would otherwise wait for
// memory alone.
template <class F>
void for_each_fetched_ahead(const NameIndex& index, std::span<const int32_t> candidates, F&& f) {
    constexpr size_t kAhead = 8;
    const size_t m = candidates.size();
    for (size_t k = 0; k < std::min(m, kAhead); ++k) index.prefetch_start(candidates[k]);
    for (size_t k = 0; k < m; ++k) {
        if (k + 2 * kAhead < m) index.prefetch_start(candidates[k + 2 * kAhead]);
        if (k + kAhead < m) index.prefetch_words(candidates[k + kAhead]);
        f(candidates[k]);
    }
}

// Name j against a row of `row_words` words marked in `marks`: the row's
// positions j's words find, and how many of j's own positions the row finds back.
inline bool accepts_marked(const NameIndex& index, const MarkTable<RowMark>& marks, int32_t row_words,
                           int32_t j) noexcept {
    const auto words_j = index.words(j);
    uint32_t found = 0;
    int32_t found_back = 0;
    for (int32_t v : words_j) {
        if (const RowMark* mark = marks.find(v)) {
            found |= mark->positions;
            found_back += static_cast<int32_t>(mark->found_back);
        }
    }
    return accepts(row_words, std::popcount(found), static_cast<int32_t>(words_j.size()), found_back);
}

// The same against a longer row, whose words are marked with a few positions
// each (`marks`: a MarkTable or DenseMarkTable of LongRowMark). Found
// positions only grow, so the first word that makes j match settles it.
template <class LongMarks>
inline bool accepts_long_marked(const NameIndex& index, const LongMarks& marks, int32_t row_words,
                                int32_t j) noexcept {
    const auto words_j = index.words(j);
    const auto cj = static_cast<int32_t>(words_j.size());
    if (!can_match(cj)) return false;
    LongRowMark found;
    int32_t found_back = 0;
    for (int32_t v : words_j) {
        const LongRowMark* mark = marks.find(v);
        if (mark == nullptr) continue;
        found_back += static_cast<int32_t>(mark->found_back);
        found.merge(*mark);
        if (accepts(row_words, found.count, cj, found_back)) return true;
    }
    return false;
}

// What a score floor tells the search: each word's weight and tradeout cap
// (pair_score.h), log2 of the names, and the floor, lowered a little so that
// float rounding never turns away a pair that scores at it.
struct FloorBound {
    std::span<const float> weights;
    std::span<const float> caps;
    float log2_names = 0.0f;
    float floor = 0.0f;
};

// One worker's working space, kept across its rows. Nothing in it grows with
// the number of names, so a large team stays cheap.
class RowSearch {
public:
    RowSearch(const NameIndex& index, int32_t names) noexcept : index_(index), names_(names) {}

    // The names j > i, j >= min_second, that match name i, in increasing
    // order; valid until the next call. Throws std::bad_alloc.
    std::span<const int32_t> match(int32_t i, int32_t min_second);

    // Candidates checked exactly so far.
    int64_t checked() const noexcept { return checked_; }

    // With a floor, a row may leave out names that cannot reach it; the
    // bound must outlive the search.
    void bound_by(const FloorBound* bound) noexcept { bound_ = bound; }

private:
    void match_by_words();
    void mark_long_row();
    void collect_by_words();
    bool long_row_accepts(int32_t j) const noexcept;
    void mark_row();
    bool is_pair(size_t u, size_t v) const noexcept { return u != v || repeats_[u] >= 2; }
    int64_t row_side_cost();
    void collect_by_back_words();
    void collect_by_row_pairs();
    void collect_long_names();
    void check_candidates();
    void add_pairs(int32_t x, int32_t y, unsigned classes);
    void add_shared_word(int32_t x, unsigned classes);
    int64_t scan_cost(int32_t w) const noexcept;
    int64_t outer_cost(int32_t a, int32_t b, int64_t limit) const noexcept;
    void add_pair_candidates(size_t u, size_t v, unsigned classes);
    void gather_pair_candidates(size_t u, size_t v, unsigned classes);
    void bound_row();
    bool only_as_itself(size_t u, size_t v) const noexcept;
    void add_two_word_names(size_t u, size_t v, bool any_u, bool any_v);
    void probe_pairs(int32_t wx, int32_t b, size_t first, unsigned classes);
    void scan_pair_candidates(int32_t w, uint32_t other_bit, unsigned classes);
    void append_after(std::span<const int32_t> sorted);
    void settle_candidates();

    const NameIndex& index_;
    int32_t names_;  // how many names the index holds
    const FloorBound* bound_ = nullptr;
    bool bounded_ = false;        // this row's two-word candidates may be bounded (bound_row)
    bool shared_finder_ = false;  // a word finds two of the row's positions
    float cap_most_ = 0.0f;       // the largest cap of the row's words
    int32_t row_ = 0;
    int32_t floor_ = 0;  // candidates must come after this index
    std::span<const int32_t> words_;
    MarkTable<RowMark> marks_;
    DenseMarkTable<LongRowMark> long_marks_;
    std::vector<int32_t> distinct_;    // the row's distinct words
    std::vector<int32_t> position_;    // the first position of each
    std::vector<int32_t> repeats_;     // how many positions hold each
    size_t cheapest_u_ = 0;            // the row's cheapest pair of distinct words
    size_t cheapest_v_ = 0;
    std::vector<int64_t> outer_;       // per pair of distinct words u, v: outer_cost(u's, v's), at u * count + v
                                       // (the dearer way round only summed until past the other)
    std::vector<int32_t> back_words_;  // the words that are found in the row
    std::vector<int64_t> cost_;        // per position, for rows without pairs
    std::vector<int32_t> order_;
    std::vector<int32_t> candidates_;
    std::vector<int32_t> accepted_;
    int64_t checked_ = 0;
};

}  // namespace talvik
