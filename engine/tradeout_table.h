// The tradeout table: a read-only, open-addressing copy of the caller's
// word -> tradeouts dictionary, searched from many threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talvik {

// The words that may be traded for one key word, in the order given.
struct MatchList {
    std::vector<std::string> words;
    int32_t capacity = 0;  // the most words the list accepts; later ones are refused

    int32_t count() const noexcept { return static_cast<int32_t>(words.size()); }
    bool full() const noexcept { return count() >= capacity; }
};

// One slot. `occupied` is separate from `key` because the empty string is a key.
struct TradeoutEntry {
    std::string key;
    std::unique_ptr<MatchList> matches;  // attached once the list is complete
    uint64_t hash = 0;
    bool occupied = false;
};

struct TradeoutTable {
    std::vector<TradeoutEntry> entries;  // `capacity` slots
    uint64_t capacity = 0;               // always 2 * size
    int64_t size = 0;                    // number of keys the table was made for
};

using TradeoutTablePtr = std::unique_ptr<TradeoutTable>;

// djb2-style hash over the bytes taken as *signed* chars; non-ASCII bytes
// subtract, which fixes the slot of every non-ASCII key.
constexpr uint64_t tradeout_hash(std::string_view bytes) noexcept {
    uint64_t h = 5381;
    for (char c : bytes) {
        h = h * 33 + static_cast<uint64_t>(static_cast<int64_t>(static_cast<signed char>(c)));
    }
    return h;
}

// A table with 2n empty slots, or null when memory runs out.
// A table for 0 keys has no slots and finds nothing.
TradeoutTablePtr make_tradeout_table(int64_t n) noexcept;

// The first empty slot of `key`'s probe sequence. Equal keys are not merged:
// a repeated key takes a further slot. Empty when every slot is taken.
std::optional<uint64_t> tradeout_table_claim_slot(const TradeoutTable& table,
                                                  std::string_view key) noexcept;

// Stores a copy of `key` in the claimed slot; false when memory runs out.
bool tradeout_table_store_key(TradeoutTable& table, uint64_t slot, std::string_view key) noexcept;

// A new, empty list that will accept `capacity` words, or null when memory runs out.
std::unique_ptr<MatchList> make_match_list(int32_t capacity) noexcept;

// Appends a copy of `word` to a list that is not full. A word that cannot be
// copied for lack of memory is left out.
void match_list_add(MatchList& list, std::string_view word) noexcept;

// The list of `word`, or null when no slot holds it. Lock-free and read-only,
// safe from any number of threads on a finished table.
const MatchList* tradeout_table_lookup(const TradeoutTable& table, std::string_view word) noexcept;

}  // namespace talvik
