// Which tradeout entries the matches rest on: per key, the pairs that found a
// word through it, and the pairs that would not match without it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "talvik/find_pairs.h"
#include "talvik/pair_store.h"

namespace talvik {

// The tally of one table key.
struct KeyUsage {
    // Pairs in which some word of either name, spelt as the key, was not in
    // the other name and was found there through one of the key's tradeouts
    // (once per pair, however many positions).
    int64_t pairs = 0;
    // Of those, the matching pairs that no longer match once the key's list
    // is gone: its positions then count as not found.
    int64_t needed = 0;
};

struct UsageOptions {
    int32_t threads = 1;  // capped as for a search, and so that the counters stay small
    const StopToken* stop = nullptr;
    const Poll* poll = nullptr;
};

// Adds the tally of `pairs` (indices into the index's names, normally the
// pairs a search of it found) to `totals`, one element per slot of the
// index's table (`totals` starts empty and is sized on the first call), so
// that pieces of a long list of pairs can be tallied one after another. Each pair is judged again with the
// rule's own position_found and accepts over the index's words, so the tally
// cannot disagree with the search. Fails with out_of_memory or stopped, and
// then adds nothing.
SearchError add_tradeout_usage(const SearchIndex& index, std::span<const NamePair> pairs,
                               const UsageOptions& options, std::vector<KeyUsage>& totals) noexcept;

}  // namespace talvik
