// Spelling variants the slow, obvious way: the full optimal string alignment
// table for every pair of words. The oracle the tests and the fuzzer hold
// find_variants to.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "talvik/variants.h"

namespace talvik::reference {

// The code points of a UTF-8 word; a byte that begins no valid sequence is
// 0x110000 + the byte.
std::vector<uint32_t> code_points(std::string_view word);

// The optimal string alignment distance (adjacent swaps cost one when
// `transpositions`; plain Levenshtein otherwise).
int32_t osa_distance(std::span<const uint32_t> a, std::span<const uint32_t> b, bool transpositions);

// Every pair i < j within max_edits, both at least min_length code points, by i then j.
std::vector<VariantPair> every_variant(std::span<const std::string_view> words, int32_t max_edits,
                                       int32_t min_length, bool transpositions);

}  // namespace talvik::reference
