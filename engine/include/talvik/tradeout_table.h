// The tradeout table: a read-only, open-addressing copy of the caller's
// word -> tradeouts dictionary, searched from many threads at once.
#pragma once

#include <cstdint>
#include <iterator>
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

// Builds a table key by key. Keys take slots in the order they are given;
// a key equal to an earlier one takes a further slot, and lookups find the
// first. A key's list accepts the words it was begun with room for, and
// refuses the rest. Failures are values; a failed build hands out nothing.
// Words and keys are copied into the table's pool, or borrowed when `borrow`
// is set (the caller's bytes must then outlive the table).
class TradeoutTableBuilder {
public:
    enum class Status {
        ok,
        out_of_memory,
        no_free_slot,  // more keys than the table was made for
    };

    // Room for `keys` keys; a table for none has no slots and finds nothing.
    explicit TradeoutTableBuilder(int64_t keys) noexcept;

    Status status() const noexcept { return status_; }
    bool ok() const noexcept { return status_ == Status::ok; }

    // Starts the entry of `key`, whose list will take at most `capacity` words.
    Status begin_key(std::string_view key, int32_t capacity, bool borrow = false) noexcept;
    // Whether the current list is full: a further word would not be stored.
    bool list_full() const noexcept;
    // Appends `word` to the current list, unless it is full.
    Status add_word(std::string_view word, bool borrow = false) noexcept;
    // Attaches the current list to its key: lookups see it from now on.
    void end_key() noexcept;

    // A whole entry at once.
    template <class Words>
    Status add(std::string_view key, const Words& words) noexcept {
        if (begin_key(key, static_cast<int32_t>(std::size(words))) != Status::ok) return status_;
        for (const auto& w : words) {
            if (add_word(std::string_view(w)) != Status::ok) return status_;
        }
        end_key();
        return status_;
    }

    // The finished table, or null when a step failed.
    TradeoutTablePtr finish() noexcept;

private:
    Status fail(Status s) noexcept;

    TradeoutTablePtr table_;
    std::unique_ptr<MatchList> list_;
    uint64_t slot_ = 0;
    Status status_ = Status::ok;
};

// A table of (key, words) entries, in their order; null when a step failed.
template <class Entries>
TradeoutTablePtr build_tradeout_table(const Entries& entries) noexcept {
    TradeoutTableBuilder builder(static_cast<int64_t>(std::size(entries)));
    for (const auto& [key, words] : entries) builder.add(key, words);
    return builder.finish();
}

// A copy of `table` that owns its words, every key in the same slot (so
// that every lookup finds the same list); null when memory runs out.
TradeoutTablePtr copy_tradeout_table(const TradeoutTable& table) noexcept;

// The slot of `word` (the first one, for a key stored twice), or empty when
// no slot holds it. Lock-free and read-only, like the lookup.
std::optional<uint64_t> tradeout_table_find(const TradeoutTable& table, std::string_view word) noexcept;

// The list of `word`, or null when no slot holds it. Lock-free and read-only,
// safe from any number of threads on a finished table.
const MatchList* tradeout_table_lookup(const TradeoutTable& table, std::string_view word) noexcept;

}  // namespace talvik
