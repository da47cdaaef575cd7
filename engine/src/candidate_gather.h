// How a row's search and a query's lookup both gather candidates from the
// pair index: the names holding two given words, and the names holding one
// word that finds two positions at once. The caller says where candidates go
// (the search keeps only later names, the lookup all of them).
#pragma once

#include <cstdint>
#include <span>

#include "candidate_search.h"
#include "name_index.h"

namespace talvik::gather {

// Roughly how many postings a scan reads in the time of one pair lookup.
inline constexpr int64_t kProbeCost = 2;

// Which names the pair index is asked for: of two words, or of three or more.
inline constexpr unsigned kTwoWords = 1;
inline constexpr unsigned kLonger = 2;

// The names holding both x and y, of the classes asked for.
template <class Append>
inline void pair_postings(const NameIndex& index, int32_t x, int32_t y, unsigned classes, Append&& append) {
    if (classes & kTwoWords) append(index.pair_postings(x, y, false));
    if (classes & kLonger) append(index.pair_postings(x, y, true));
}

// Whether name j is of the classes asked for and holds a word marked for
// one of the row's positions in `bits`.
inline bool holds_marked(const NameIndex& index, const MarkTable<RowMark>& marks, int32_t j, uint32_t bits,
                         unsigned classes) noexcept {
    const auto words_j = index.words(j);
    if ((classes & (words_j.size() == 2 ? kTwoWords : kLonger)) == 0) return false;
    for (int32_t v : words_j) {
        const RowMark* mark = marks.find(v);
        if (mark != nullptr && (mark->positions & bits) != 0) return true;
    }
    return false;
}

// Names holding x, which finds two positions at once: they still need two of
// their own positions found, through another word found back (`back`) or x
// twice. Reading x's postings whole is cheaper when `back` is long.
template <class Append>
inline void shared_word(const NameIndex& index, std::span<const int32_t> back, const MarkTable<RowMark>& marks,
                        int32_t x, unsigned classes, Append&& append) {
    const auto postings = index.postings(x);
    if (static_cast<int64_t>(back.size()) * kProbeCost >= static_cast<int64_t>(postings.size())) {
        append(postings);
        return;
    }
    for (int32_t r : back) {
        if (r != x) pair_postings(index, x, r, classes, append);
    }
    const RowMark* mark = marks.find(x);
    if (mark != nullptr && mark->found_back != 0) append(index.repeat_postings(x));
}

}  // namespace talvik::gather
