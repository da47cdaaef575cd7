// The simplest statement of the search: every pair (i, j), i < j, offered to
// validate_match, in row order. The oracle that tests, the fuzzer and the
// benchmark hold the fast search to; never shipped in a module.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "talvik/pair_store.h"
#include "talvik/tradeout_table.h"

namespace talvik::reference {

// Every accepted pair with first_row <= i < last_row and j >= min_second, by
// increasing i, then j. Single-threaded.
std::vector<NamePair> every_pair(std::span<const std::string_view> names, const TradeoutTable& table,
                                 int32_t first_row = 0, int32_t last_row = INT32_MAX, int32_t min_second = 0);

}  // namespace talvik::reference
