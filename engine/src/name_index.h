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

// A read-only array the index reads: one of the index's own vectors, or a
// part of a saved file it does not own. The search reads both alike.
template <class T>
struct Column {
    const T* data = nullptr;
    size_t size = 0;

    const T& operator[](size_t k) const noexcept { return data[k]; }
    bool empty() const noexcept { return size == 0; }
};

// Every array of an index, as views; what bind() sets and a saved file fills.
struct NameIndexColumns {
    struct PairSlot {
        uint64_t key;  // see NameIndex::pair_key; NameIndex::empty_key when free
        uint32_t start;
        uint32_t count;
    };
    Column<size_t> name_start;
    Column<int32_t> name_words;
    Column<size_t> trade_start;
    Column<int32_t> trade_words;
    Column<size_t> from_start;
    Column<int32_t> from_words;
    Column<size_t> post_start;
    Column<int32_t> post_names;
    Column<int64_t> reach;
    Column<PairSlot> pair_slots;
    Column<int32_t> pair_names;
    Column<size_t> repeat_start;
    Column<int32_t> repeat_names;
    Column<size_t> long_start;
    Column<int32_t> long_names;
    // The word dictionary: each word's bytes by id, and a hash table of ids
    // in kWordRegions regions of equal size, a word's region chosen by the top
    // bits of its hash.
    Column<size_t> word_start;
    Column<char> word_bytes;
    Column<uint64_t> word_slots;
};

class NameIndex {
public:
    // Names with more distinct words than this are left out of the pair index
    // (a name of d distinct words has d(d-1)/2 pairs) and listed apart.
    static constexpr int32_t max_pair_words = 8;
    // The word dictionary's regions: one per shard of the words' hashes.
    static constexpr int kWordRegionBits = 6;
    static constexpr size_t kWordRegions = size_t{1} << kWordRegionBits;
    static constexpr uint64_t empty_key = ~uint64_t{0};

    using PairSlot = NameIndexColumns::PairSlot;

    // Cuts `n` names into words and indexes them on a team. Fails with
    // out_of_memory, or stopped when the token or the poll says so. The
    // index borrows the names' bytes, which must outlive it. Word ids, and
    // so every list, depend only on the names, never on the team.
    static NameIndexBuilt build(const std::string_view* names, int32_t n, const TradeoutTable& table,
                                const NameIndexOptions& options = {}) noexcept;

    // An index over arrays it does not own (a saved file), which must outlive
    // it. The caller has checked them (see saved_index.cpp): every id and
    // every list within bounds, a free slot in the pair table.
    static std::unique_ptr<NameIndex> over(const NameIndexColumns& columns);

    // The number of distinct words; ids are 0 .. word_count() - 1.
    int32_t word_count() const noexcept { return static_cast<int32_t>(c_.reach.size); }

    // The word ids of a name, by position; a repeated word repeats its id.
    std::span<const int32_t> words(int32_t name) const noexcept {
        return span_of(c_.name_words, c_.name_start, name);
    }
    // Hints that words(name) will be read soon: first where its words start,
    // then (once that has arrived) the words themselves.
    void prefetch_start(int32_t name) const noexcept { __builtin_prefetch(&c_.name_start[static_cast<size_t>(name)]); }
    void prefetch_words(int32_t name) const noexcept {
        __builtin_prefetch(c_.name_words.data + c_.name_start[static_cast<size_t>(name)]);
    }

    // The ids of a word's tradeouts that are words of some name, rising, each
    // once and never the word itself; the others can never be found.
    std::span<const int32_t> tradeouts(int32_t word) const noexcept {
        return span_of(c_.trade_words, c_.trade_start, word);
    }
    // The words that list `word` among their tradeouts.
    std::span<const int32_t> traded_from(int32_t word) const noexcept {
        return span_of(c_.from_words, c_.from_start, word);
    }
    // The names of two words or more holding a word, in increasing order, each once.
    std::span<const int32_t> postings(int32_t word) const noexcept {
        return span_of(c_.post_names, c_.post_start, word);
    }
    // How many postings a word and its tradeouts have together.
    int64_t reach(int32_t word) const noexcept { return c_.reach[static_cast<size_t>(word)]; }

    // False when the pair index would be too large to address; every row then
    // takes the word index alone.
    bool has_pair_index() const noexcept { return !c_.pair_slots.empty(); }
    // The names of at most max_pair_words distinct words that hold both words
    // (which differ), in increasing order: names of exactly two words when
    // `longer` is false, of three words or more when it is true.
    std::span<const int32_t> pair_postings(int32_t a, int32_t b, bool longer) const noexcept;
    // Per word and class, a bit for each word it is paired with (hashed to
    // one of 64): most pairs a row asks for are in no name, and both words'
    // bits turn nearly all of those away before the large pair table is read.
    // Always true for an index over a saved file, which reads the table.
    static uint64_t pair_bit(int32_t w) noexcept { return uint64_t{1} << ((static_cast<uint32_t>(w) * 0x9E3779B1u) >> 26); }
    bool may_pair(int32_t a, int32_t b, bool longer) const noexcept {
        if (pair_signs_.empty()) return true;
        const size_t k = longer ? 1 : 0;
        return (pair_signs_[2 * static_cast<size_t>(a) + k] & pair_bit(b)) != 0 &&
               (pair_signs_[2 * static_cast<size_t>(b) + k] & pair_bit(a)) != 0;
    }
    // Hints that pair_postings(a, b, longer) will be asked soon.
    void prefetch_pair(int32_t a, int32_t b, bool longer) const noexcept {
        if (has_pair_index() && may_pair(a, b, longer)) {
            __builtin_prefetch(&c_.pair_slots[pair_home(pair_key(a, b, longer))]);
        }
    }

    // The names that hold a word at two positions or more, in increasing order.
    std::span<const int32_t> repeat_postings(int32_t word) const noexcept {
        return span_of(c_.repeat_names, c_.repeat_start, word);
    }

    // Whether some name has more than max_pair_words distinct words.
    bool has_long_names() const noexcept { return !c_.long_names.empty(); }
    // Those names that hold a word, in increasing order.
    std::span<const int32_t> long_postings(int32_t word) const noexcept {
        return span_of(c_.long_names, c_.long_start, word);
    }

    // The id of a word, or -1 when no name holds it.
    int32_t find_word(std::string_view word) const noexcept;
    // The bytes of word `id`.
    std::string_view word_text(int32_t id) const noexcept {
        const size_t k = static_cast<size_t>(id);
        return {c_.word_bytes.data + c_.word_start[k], c_.word_start[k + 1] - c_.word_start[k]};
    }

    // Every array, as the index reads it (what a saved file holds).
    const NameIndexColumns& columns() const noexcept { return c_; }

    // The hash the dictionary files words under; part of the saved format.
    static uint64_t word_hash(std::string_view word) noexcept;
    // The region of the dictionary a hash falls in, its home slot there, and
    // the tag a slot keeps of it.
    static size_t word_region(uint64_t hash) noexcept { return static_cast<size_t>(hash >> (64 - kWordRegionBits)); }
    static size_t word_home(uint64_t hash, int region_bits) noexcept {
        return static_cast<size_t>(hash >> (64 - kWordRegionBits - region_bits)) & ((size_t{1} << region_bits) - 1);
    }
    // A slot holds the low half of the hash above the id plus one (0: free).
    static uint64_t word_slot(uint64_t hash, int32_t id) noexcept {
        return hash << 32 | (static_cast<uint64_t>(id) + 1);
    }

private:
    template <class T>
    static std::span<const int32_t> span_of(const Column<int32_t>& items, const Column<T>& start, int32_t k) noexcept {
        return {items.data + start[static_cast<size_t>(k)],
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
    // Points the views at the index's own vectors.
    void bind() noexcept;
    // The shifts of both hash tables, from their sizes.
    void set_shifts() noexcept;

    friend class NameIndexBuilder;

    NameIndexColumns c_;
    int pair_shift_ = 64;
    int word_region_bits_ = 0;

    // What a built index owns; empty for one over a saved file.
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
    std::vector<int32_t> pair_names_;
    std::vector<size_t> repeat_start_;
    std::vector<int32_t> repeat_names_;
    std::vector<size_t> long_start_;
    std::vector<int32_t> long_names_;
    std::vector<size_t> word_start_;
    std::vector<char> word_bytes_;
    std::vector<uint64_t> word_slots_;
    std::vector<uint64_t> pair_signs_;  // two per word (see may_pair); not saved
};

}  // namespace talvik
