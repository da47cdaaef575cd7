#include "talvik/tradeout_table.h"

#include <new>

#include "tradeout_slots.h"

namespace talvik {

TradeoutTablePtr make_tradeout_table(int64_t n) noexcept {
    if (n < 0) return nullptr;
    try {
        auto table = std::make_unique<TradeoutTable>();
        table->size = n;
        table->capacity = 2 * static_cast<uint64_t>(n);
        table->entries.resize(table->capacity);
        return table;
    } catch (const std::bad_alloc&) {
        return nullptr;
    } catch (const std::length_error&) {
        return nullptr;
    }
}

std::optional<uint64_t> tradeout_table_claim_slot(const TradeoutTable& table,
                                                  std::string_view key) noexcept {
    if (table.capacity == 0) return std::nullopt;
    const uint64_t start = tradeout_hash(key) % table.capacity;
    uint64_t i = start;
    while (table.entries[i].occupied) {
        i = (i + 1) % table.capacity;
        if (i == start) return std::nullopt;
    }
    return i;
}

std::optional<std::string_view> WordPool::intern(std::string_view word, bool borrow) noexcept {
    try {
        if (auto found = seen_.find(word); found != seen_.end()) return *found;
        std::string_view stored = word;
        if (!borrow) stored = copies_.emplace_back(word);
        try {
            seen_.insert(stored);
        } catch (const std::bad_alloc&) {
            if (!borrow) copies_.pop_back();
            throw;
        }
        return stored;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    } catch (const std::length_error&) {
        return std::nullopt;
    }
}

bool tradeout_table_store_key(TradeoutTable& table, uint64_t slot, std::string_view key, bool borrow) noexcept {
    const std::optional<std::string_view> stored = table.pool.intern(key, borrow);
    if (!stored) return false;
    TradeoutEntry& e = table.entries[slot];
    e.key = *stored;
    e.hash = tradeout_hash(key);
    e.occupied = true;
    return true;
}

std::unique_ptr<MatchList> make_match_list(int32_t capacity) noexcept {
    if (capacity < 0) return nullptr;
    try {
        auto list = std::make_unique<MatchList>();
        list->capacity = capacity;
        // Reserve what a normal value needs; a huge reported length grows lazily,
        // so a value that lies about its length costs nothing up front.
        list->words.reserve(std::min<int32_t>(capacity, 64));
        return list;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool match_list_add(TradeoutTable& table, MatchList& list, std::string_view word, bool borrow) noexcept {
    if (list.full()) return true;
    const std::optional<std::string_view> stored = table.pool.intern(word, borrow);
    if (!stored) return false;
    try {
        list.words.push_back(*stored);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

std::optional<uint64_t> tradeout_table_find(const TradeoutTable& table, std::string_view word) noexcept {
    if (table.capacity == 0) return std::nullopt;
    const uint64_t h = tradeout_hash(word);
    const uint64_t start = h % table.capacity;
    uint64_t i = start;
    do {
        const TradeoutEntry& e = table.entries[i];
        if (!e.occupied) return std::nullopt;
        if (e.hash == h && e.key == word) return i;
        i = (i + 1) % table.capacity;
    } while (i != start);
    return std::nullopt;
}

const MatchList* tradeout_table_lookup(const TradeoutTable& table, std::string_view word) noexcept {
    const std::optional<uint64_t> slot = tradeout_table_find(table, word);
    return slot ? table.entries[*slot].matches.get() : nullptr;
}

TradeoutTablePtr copy_tradeout_table(const TradeoutTable& table) noexcept {
    TradeoutTablePtr copy = make_tradeout_table(table.size);
    if (!copy) return nullptr;
    for (uint64_t slot = 0; slot < table.entries.size(); ++slot) {
        const TradeoutEntry& e = table.entries[slot];
        if (!e.occupied) continue;
        if (!tradeout_table_store_key(*copy, slot, e.key)) return nullptr;
        if (!e.matches) continue;
        std::unique_ptr<MatchList> list = make_match_list(e.matches->capacity);
        if (!list) return nullptr;
        for (std::string_view w : e.matches->words) {
            if (!match_list_add(*copy, *list, w)) return nullptr;
        }
        copy->entries[slot].matches = std::move(list);
    }
    return copy;
}

TradeoutTableBuilder::TradeoutTableBuilder(int64_t keys) noexcept : table_(make_tradeout_table(keys)) {
    if (!table_) status_ = Status::out_of_memory;
}

TradeoutTableBuilder::Status TradeoutTableBuilder::fail(Status s) noexcept {
    status_ = s;
    table_.reset();
    list_.reset();
    return s;
}

TradeoutTableBuilder::Status TradeoutTableBuilder::begin_key(std::string_view key, int32_t capacity,
                                                             bool borrow) noexcept {
    if (!ok()) return status_;
    const std::optional<uint64_t> slot = tradeout_table_claim_slot(*table_, key);
    if (!slot) return fail(Status::no_free_slot);
    if (!tradeout_table_store_key(*table_, *slot, key, borrow)) return fail(Status::out_of_memory);
    list_ = make_match_list(capacity);
    if (!list_) return fail(Status::out_of_memory);
    slot_ = *slot;
    return status_;
}

bool TradeoutTableBuilder::list_full() const noexcept { return list_ == nullptr || list_->full(); }

TradeoutTableBuilder::Status TradeoutTableBuilder::add_word(std::string_view word, bool borrow) noexcept {
    if (!ok() || list_full()) return status_;
    if (!match_list_add(*table_, *list_, word, borrow)) return fail(Status::out_of_memory);
    return status_;
}

void TradeoutTableBuilder::end_key() noexcept {
    if (ok() && list_) table_->entries[slot_].matches = std::move(list_);
}

TradeoutTablePtr TradeoutTableBuilder::finish() noexcept {
    if (!ok()) return nullptr;
    list_.reset();  // a key begun and never ended keeps no list
    return std::move(table_);
}

}  // namespace talvik
