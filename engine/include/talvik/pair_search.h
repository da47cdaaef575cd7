// One search of a list of names as the Talvik module runs it: every pair the
// rule accepts, collected per worker, and the first error of the search.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string_view>

#include "talvik/find_pairs.h"
#include "talvik/tradeout_table.h"

namespace talvik {

// What the workers of one search share: the table and the names they read,
// the pairs they found, and the error record.
struct PairSearchContext {
    const TradeoutTable* tt = nullptr;
    std::span<const std::string_view> name_ptrs;  // the encoded names; read only
    int32_t n_names = 0;
    // The pairs of every worker's set, read back by increasing first index,
    // then second.
    PairResult thread_results;
    // The first failure of the search; none when it ran to its end.
    SearchError error = SearchError::none;
    // The most pairs the search may store before it fails with too_many_pairs.
    int64_t max_pairs = std::numeric_limits<int64_t>::max();
    // Called on the calling thread while the workers run; may stop them.
    const Poll* poll = nullptr;
};

// Runs the search on a team of up to `n_threads` workers and returns when
// all have finished: thread_results holds the pairs, or `error` says why not.
void search_name_pairs(PairSearchContext& context, int32_t n_threads) noexcept;

}  // namespace talvik
