// Spelling variants within a vocabulary: every pair of words at most one or
// two edits apart, to be offered as tradeouts. Edits are insertions,
// deletions, substitutions and (optionally) swaps of two adjacent code
// points, counted as the optimal string alignment distance: no substring is
// edited twice. Words are UTF-8; a byte that does not begin a valid sequence
// counts as one code point of its own.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "talvik/find_pairs.h"

namespace talvik {

struct VariantOptions {
    int32_t max_edits = 1;       // 1 or 2; anything else is refused
    int32_t min_length = 1;      // both words at least this many code points
    bool transpositions = true;  // a swap of adjacent code points is one edit
    int32_t threads = 1;         // capped as for a search; never changes the result
    const StopToken* stop = nullptr;
    const Poll* poll = nullptr;
};

enum class VariantError : int32_t {
    none = 0,
    bad_options,    // max_edits not 1 or 2, or min_length negative
    out_of_memory,  // the keys, the working space or the result could not be made
    stopped,        // the stop token was raised, or the poll asked to stop
};

struct VariantPair {
    int32_t first;   // index into the vocabulary
    int32_t second;  // always greater than first
    friend bool operator==(VariantPair, VariantPair) = default;
};

struct VariantResult {
    std::vector<VariantPair> pairs;  // by first, then second; empty on failure
    VariantError error = VariantError::none;
};

// Every pair (i, j), i < j, of `words` within options.max_edits edits, both
// words at least options.min_length code points long. The words should be
// distinct: a repeated word is its own variant at distance 0 and is reported
// like any other pair. Words of up to 32 code points are indexed by their
// deletion variants; longer ones are compared with the words of nearly their
// length directly, so a vocabulary of many long words is slow, though it can
// be stopped.
VariantResult find_variants(std::span<const std::string_view> words, const VariantOptions& options) noexcept;

// The words' code points, as find_variants counts them: a valid UTF-8
// sequence is its code point; any other byte b is 0x110000 + b.
void decode_code_points(std::string_view word, std::vector<uint32_t>& out);

// Whether two code point strings are within `max_edits` (0 to 2) edits.
bool within_edits(std::span<const uint32_t> a, std::span<const uint32_t> b, int32_t max_edits,
                  bool transpositions) noexcept;

}  // namespace talvik
