// Searches of a built index from Python: all pairs of a range of rows, piece
// by piece into one block; their count; and the link of two lists.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <limits>
#include <span>

#include "talvik/find_pairs.h"
#include "names.h"
#include "pair_array.h"
#include "native.h"

namespace talvik::native {

struct Rows {
    int32_t first = 0;
    int32_t last = 0;
};

// What a call keeps of the pairs it finds.
struct PairFilter {
    bool scores = false;  // a score beside each pair
    float min_score = -std::numeric_limits<float>::infinity();
    std::span<const int64_t> blocks;  // empty, or one code per indexed name
};

struct SearchCall {
    const SearchIndex& index;
    int32_t threads;
    int32_t min_second;
    Released& released;
    PairFilter filter = {};
};

// Raises what the engine's error means (nothing new when a signal handler or
// the progress callback already raised); always false.
bool raise_search_error(SearchError error) noexcept;

// The pairs of `rows`, in row order, appended to `out` until `limit` pairs
// are there: the search stops at the row where that happens (a row is never
// cut, so one row alone may pass the limit), and `*end` is the first row not
// searched. The rows run in pieces of at most a few tens of millions of
// pairs, so that besides the result only one piece is held twice, however
// dense the rows. With call.filter.scores, `scores` gets one score per pair.
// False with an exception set.
bool collect_pairs(const SearchCall& call, Rows rows, int64_t limit, PairBlock& out, ScoreBlock* scores,
                   int32_t* end) noexcept;

// The number of pairs of `rows`; -1 with an exception set.
int64_t count_pairs(const SearchCall& call, Rows rows) noexcept;

// Joins every pair of `rows` into connected components; `out` then holds one
// label per name of the whole list. False with an exception set.
bool group_names(const SearchCall& call, Rows rows, PairResult& out) noexcept;

// Every pair (i, j) of a name i of `other` and a name j of `names` (indices
// into each list), by i then j; the index is over other + names, and so are
// the filter's blocks. False with an exception set.
bool link_pairs(const NameList& other, const NameList& names, const TradeoutTable& table, int32_t threads,
                Released& released, const PairFilter& filter, PairBlock& out, ScoreBlock* scores) noexcept;

}  // namespace talvik::native
