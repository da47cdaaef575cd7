// Names cut into words once per search, every word interned to an integer id,
// and two inverted indexes over the ids: word -> names, and pair of words ->
// names. The search uses them to visit, for each name, only the names that
// can match it, instead of every pair.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "talvik/find_pairs.h"
#include "talvik/tradeout_table.h"

namespace talvik {

struct NameIndexOptions {
    int32_t workers = 1;  // the team to build on; fewer that run give the same index
    const StopToken* stop = nullptr;
    const Poll* poll = nullptr;
    // Names (or words, or a sixteenth of the pair slots) a worker claims at
    // once; only tests change it, to cut small inputs into many chunks.
    int32_t chunk = 16384;
};

class NameIndex;

struct NameIndexBuilt {
    std::unique_ptr<NameIndex> index;  // null on failure
    SearchError error = SearchError::none;
};

class NameIndex {
public:
    // Names with more distinct words than this are left out of the pair index
    // (a name of d distinct words has d(d-1)/2 pairs) and listed apart.
    static constexpr int32_t max_pair_words = 8;

    // Cuts `n` names into words and indexes them on a team. Fails with
    // out_of_memory, or stopped when the token or the poll says so. The
    // index borrows the names' bytes, which must outlive it. Word ids, and
    // so every list, depend only on the names, never on the team.
    static NameIndexBuilt build(const std::string_view* names, int32_t n, const TradeoutTable& table,
                                const NameIndexOptions& options = {}) noexcept;

    // The number of distinct words; ids are 0 .. word_count() - 1.
    int32_t word_count() const noexcept { return static_cast<int32_t>(reach_.size()); }

    // The word ids of a name, by position; a repeated word repeats its id.
    std::span<const int32_t> words(int32_t name) const noexcept {
        return span_of(name_words_, name_start_, name);
    }
    // Hints that words(name) will be read soon: first where its words start,
    // then (once that has arrived) the words themselves.
    void prefetch_start(int32_t name) const noexcept { __builtin_prefetch(&name_start_[static_cast<size_t>(name)]); }
    void prefetch_words(int32_t name) const noexcept {
        __builtin_prefetch(name_words_.data() + name_start_[static_cast<size_t>(name)]);
    }

    // The ids of a word's tradeouts that are words of some name, each once and
    // never the word itself; the others can never be found.
    std::span<const int32_t> tradeouts(int32_t word) const noexcept {
        return span_of(trade_words_, trade_start_, word);
    }
    // The words that list `word` among their tradeouts.
    std::span<const int32_t> traded_from(int32_t word) const noexcept {
        return span_of(from_words_, from_start_, word);
    }
    // The names of two words or more holding a word, in increasing order, each once.
    std::span<const int32_t> postings(int32_t word) const noexcept {
        return span_of(post_names_, post_start_, word);
    }
    // How many postings a word and its tradeouts have together.
    int64_t reach(int32_t word) const noexcept { return reach_[static_cast<size_t>(word)]; }

    // False when the pair index would be too large to address; every row then
    // takes the word index alone.
    bool has_pair_index() const noexcept { return pair_slot_count_ != 0; }
    // The names of at most max_pair_words distinct words that hold both words
    // (which differ), in increasing order: names of exactly two words when
    // `longer` is false, of three words or more when it is true.
    std::span<const int32_t> pair_postings(int32_t a, int32_t b, bool longer) const noexcept;

    // The names that hold a word at two positions or more, in increasing order.
    std::span<const int32_t> repeat_postings(int32_t word) const noexcept {
        return span_of(repeat_names_, repeat_start_, word);
    }

    // Whether some name has more than max_pair_words distinct words.
    bool has_long_names() const noexcept { return !long_names_.empty(); }
    // Those names that hold a word, in increasing order.
    std::span<const int32_t> long_postings(int32_t word) const noexcept {
        return span_of(long_names_, long_start_, word);
    }

private:
    struct PairSlot {
        uint64_t key;  // see pair_key; empty_key when free
        uint32_t start;
        uint32_t count;
    };
    static constexpr uint64_t empty_key = ~uint64_t{0};

    static std::span<const int32_t> span_of(const std::vector<int32_t>& items,
                                            const std::vector<size_t>& start, int32_t k) noexcept {
        return {items.data() + start[static_cast<size_t>(k)],
                start[static_cast<size_t>(k) + 1] - start[static_cast<size_t>(k)]};
    }
    // The smaller id in the high half, the top bit set for longer names.
    static uint64_t pair_key(int32_t a, int32_t b, bool longer) noexcept {
        const auto lo = static_cast<uint64_t>(a < b ? a : b);
        const auto hi = static_cast<uint64_t>(a < b ? b : a);
        return uint64_t{longer} << 63 | lo << 32 | hi;
    }
    size_t pair_home(uint64_t key) const noexcept {
        return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> pair_shift_);
    }

    friend class NameIndexBuilder;

    std::vector<size_t> name_start_;
    std::vector<int32_t> name_words_;
    std::vector<size_t> trade_start_;
    std::vector<int32_t> trade_words_;
    std::vector<size_t> from_start_;
    std::vector<int32_t> from_words_;
    std::vector<size_t> post_start_;
    std::vector<int32_t> post_names_;
    std::vector<int64_t> reach_;
    std::unique_ptr<PairSlot[]> pair_slots_;  // filled by the team, not zeroed first
    size_t pair_slot_count_ = 0;
    int pair_shift_ = 64;
    std::vector<int32_t> pair_names_;
    std::vector<size_t> repeat_start_;
    std::vector<int32_t> repeat_names_;
    std::vector<size_t> long_start_;
    std::vector<int32_t> long_names_;
};

}  // namespace talvik
