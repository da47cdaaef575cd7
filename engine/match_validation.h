// The matching rule: do two names, cut into words at ASCII spaces, match?
#pragma once

#include <cstdint>
#include <string_view>

#include "tradeout_table.h"

namespace talvik {

// Number of words: maximal runs of bytes other than the ASCII space.
// Every other byte, NUL and tab included, belongs to a word.
int32_t count_words(std::string_view name) noexcept;

// True when the names match. Each word position of a name is "found" when an
// identical word is in the other name or, failing that, when one of the
// word's tradeouts is. A two-word name must be found whole; a three-word name
// too, except against a two-word name (two of three suffice); a longer name
// needs two words. Tradeouts are directional: each name's pass consults only
// its own words' tradeouts. Allocates nothing; safe from any number of threads.
bool validate_match(std::string_view name1, std::string_view name2,
                    const TradeoutTable& table) noexcept;

}  // namespace talvik
