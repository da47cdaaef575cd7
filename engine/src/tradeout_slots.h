// The steps TradeoutTableBuilder takes, for the builder and for the
// engine's own tests of slot claiming.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "talvik/tradeout_table.h"

namespace talvik {

// A table with 2n empty slots, or null when memory runs out.
// A table for 0 keys has no slots and finds nothing.
TradeoutTablePtr make_tradeout_table(int64_t n) noexcept;

// The first empty slot of `key`'s probe sequence. Equal keys are not merged:
// a repeated key takes a further slot. Empty when every slot is taken.
std::optional<uint64_t> tradeout_table_claim_slot(const TradeoutTable& table,
                                                  std::string_view key) noexcept;

// Stores `key` (interned in the table's pool, borrowed when `borrow` is set)
// in the claimed slot; false when memory runs out.
bool tradeout_table_store_key(TradeoutTable& table, uint64_t slot, std::string_view key,
                              bool borrow = false) noexcept;

// A new, empty list that will accept `capacity` words, or null when memory runs out.
std::unique_ptr<MatchList> make_match_list(int32_t capacity) noexcept;

// Appends `word`, interned in the table's pool (borrowed when `borrow` is
// set), to a list that is not full. False when memory runs out: a word is
// never silently left out.
bool match_list_add(TradeoutTable& table, MatchList& list, std::string_view word, bool borrow = false) noexcept;

}  // namespace talvik
