// The tradeout table: a read-only, open-addressing copy of the caller's
// word -> tradeouts dictionary, searched from many threads at once.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace talvik {

// Every distinct key and word of a table, stored once however often it is
// listed: the table's memory is that of its distinct words.
class WordPool {
public:
    // The stored word equal to `word`; a new one is copied, or, when
    // `borrow` is set, kept as a view of the caller's bytes, which must then
    // outlive the pool. Empty when memory runs out.
    std::optional<std::string_view> intern(std::string_view word, bool borrow = false) noexcept;

    size_t distinct() const noexcept { return seen_.size(); }

private:
    std::unordered_set<std::string_view> seen_;
    std::deque<std::string> copies_;  // a deque never moves what it holds
};

// The words that may be traded for one key word, in the order given; views
// into the table's pool.
struct MatchList {
    std::vector<std::string_view> words;
    int32_t capacity = 0;  // the most words the list accepts; later ones are refused

    int32_t count() const noexcept { return static_cast<int32_t>(words.size()); }
    bool full() const noexcept { return count() >= capacity; }
};

// One slot. `occupied` is separate from `key` because the empty string is a key.
struct TradeoutEntry {
    std::string_view key;  // in the table's pool
    std::unique_ptr<MatchList> matches;  // attached once the list is complete
    uint64_t hash = 0;
    bool occupied = false;
};

struct TradeoutTable {
    std::vector<TradeoutEntry> entries;  // `capacity` slots
    uint64_t capacity = 0;               // always 2 * size
    int64_t size = 0;                    // number of keys the table was made for
    WordPool pool;                       // what the keys and lists point into
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

// The slot of `word` (the first one, for a key stored twice), or empty when
// no slot holds it. Lock-free and read-only, like the lookup.
std::optional<uint64_t> tradeout_table_find(const TradeoutTable& table, std::string_view word) noexcept;

// The list of `word`, or null when no slot holds it. Lock-free and read-only,
// safe from any number of threads on a finished table.
const MatchList* tradeout_table_lookup(const TradeoutTable& table, std::string_view word) noexcept;

}  // namespace talvik
