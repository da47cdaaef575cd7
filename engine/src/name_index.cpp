#include "name_index.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "parallel_for.h"
#include "talvik/match_rule.h"

namespace talvik {
namespace {

uint64_t mix(uint64_t h) noexcept {
    h ^= h >> 31;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 29;
    return h;
}

// A fast hash over a word's bytes, eight at a time.
uint64_t word_hash(std::string_view w) noexcept {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ w.size();
    size_t k = 0;
    for (; k + 8 <= w.size(); k += 8) {
        uint64_t v;
        std::memcpy(&v, w.data() + k, 8);
        h = mix(h ^ v) * 0x94D049BB133111EBull;
    }
    uint64_t v = 0;
    std::memcpy(&v, w.data() + k, w.size() - k);
    return mix(mix(h ^ v) + 0x632BE59BD9B4E019ull);
}

// Equal words, compared inline: most are a few bytes, which a call to
// memcmp would take longer to compare.
bool same_bytes(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    size_t k = 0;
    for (; k + 8 <= a.size(); k += 8) {
        uint64_t x, y;
        std::memcpy(&x, a.data() + k, 8);
        std::memcpy(&y, b.data() + k, 8);
        if (x != y) return false;
    }
    for (; k < a.size(); ++k) {
        if (a[k] != b[k]) return false;
    }
    return true;
}

// Words are interned by shards of their hash's top bits, each shard by one
// worker; the tables inside use the low bits.
constexpr int kShardBits = 6;
constexpr size_t kShards = size_t{1} << kShardBits;

// What a name holds on average, for sizing chunks of names by their bytes.
constexpr size_t kChunkBytesPerName = 32;

size_t shard_of(uint64_t hash) noexcept { return static_cast<size_t>(hash >> (64 - kShardBits)); }

// Word bytes -> dense id in order of first appearance, by open addressing
// with linear probing; the caller hashes.
class WordIds {
public:
    WordIds() : slots_(kMinSlots, Slot{0, -1}), mask_(kMinSlots - 1) {}

    int32_t intern(std::string_view w, uint64_t h) {
        for (size_t s = h & mask_;; s = (s + 1) & mask_) {
            Slot& slot = slots_[s];
            if (slot.id < 0) {
                if (words_.size() >= static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
                    throw std::length_error("too many distinct words");
                }
                slot = Slot{h, static_cast<int32_t>(words_.size())};
                words_.push_back(w);
                hashes_.push_back(h);
                if (2 * words_.size() > slots_.size()) grow();
                return static_cast<int32_t>(words_.size()) - 1;
            }
            if (slot.hash == h && same_bytes(words_[static_cast<size_t>(slot.id)], w)) return slot.id;
        }
    }

    int32_t find(std::string_view w, uint64_t h) const noexcept {
        for (size_t s = h & mask_;; s = (s + 1) & mask_) {
            const Slot& slot = slots_[s];
            if (slot.id < 0) return -1;
            if (slot.hash == h && same_bytes(words_[static_cast<size_t>(slot.id)], w)) return slot.id;
        }
    }

    // Empties the table, keeping its room for the next chunk.
    void clear() noexcept {
        std::fill(slots_.begin(), slots_.end(), Slot{0, -1});
        words_.clear();
        hashes_.clear();
    }

    const std::vector<std::string_view>& words() const noexcept { return words_; }
    const std::vector<uint64_t>& hashes() const noexcept { return hashes_; }

private:
    static constexpr size_t kMinSlots = 64;
    struct Slot {
        uint64_t hash;
        int32_t id;  // -1 when free
    };

    void grow() {
        std::vector<Slot> bigger(2 * slots_.size(), Slot{0, -1});
        const size_t mask = bigger.size() - 1;
        for (const Slot& slot : slots_) {
            if (slot.id < 0) continue;
            size_t s = slot.hash & mask;
            while (bigger[s].id >= 0) s = (s + 1) & mask;
            bigger[s] = slot;
        }
        slots_.swap(bigger);
        mask_ = mask;
    }

    std::vector<Slot> slots_;
    size_t mask_;
    std::vector<std::string_view> words_;
    std::vector<uint64_t> hashes_;
};

// The distinct words of one chunk of names, in order of first appearance,
// and their order by shard for the workers that intern the shards.
struct ChunkWords {
    std::vector<std::string_view> words;
    std::vector<uint64_t> hashes;
    std::vector<int32_t> by_shard;             // local ids, shard by shard, each shard in local order
    std::array<uint32_t, kShards + 1> shard_start{};
    std::vector<int32_t> ids;                  // per local id: its id within its shard
};

// Names up to this many words are deduplicated by looking back, longer ones
// by sorting a copy.
constexpr size_t kShortName = 16;

// The distinct words of a name, in no particular order.
void distinct_words(std::span<const int32_t> words, std::vector<int32_t>& out) {
    out.clear();
    if (words.size() <= kShortName) {
        for (int32_t w : words) {
            if (std::find(out.begin(), out.end(), w) == out.end()) out.push_back(w);
        }
        return;
    }
    out.assign(words.begin(), words.end());
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
}

// How many distinct words a name has.
size_t count_distinct_words(std::span<const int32_t> words, std::vector<int32_t>& scratch) {
    if (words.size() > kShortName) {
        distinct_words(words, scratch);
        return scratch.size();
    }
    size_t d = 0;
    for (size_t k = 0; k < words.size(); ++k) {
        const auto before = words.begin() + static_cast<std::ptrdiff_t>(k);
        d += std::find(words.begin(), before, words[k]) == before;
    }
    return d;
}

// The words a name holds at two positions or more, each once.
void repeated_words(std::span<const int32_t> words, std::vector<int32_t>& out) {
    out.clear();
    if (words.size() <= kShortName) {
        for (size_t k = 1; k < words.size(); ++k) {
            const int32_t w = words[k];
            if (std::find(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(k), w) !=
                    words.begin() + static_cast<std::ptrdiff_t>(k) &&
                std::find(out.begin(), out.end(), w) == out.end()) {
                out.push_back(w);
            }
        }
        return;
    }
    out.assign(words.begin(), words.end());
    std::sort(out.begin(), out.end());
    size_t kept = 0;
    for (size_t k = 0; k < out.size();) {
        size_t end = k + 1;
        while (end < out.size() && out[end] == out[k]) ++end;
        if (end - k >= 2) out[kept++] = out[k];
        k = end;
    }
    out.resize(kept);
}

// Pair entries taken a batch at a time: the slots of the whole batch are
// fetched ahead, since each atomic update would otherwise wait alone for
// its slot to arrive from memory.
struct PairBatch {
    static constexpr size_t size = 32;
    std::array<uint64_t, size> keys;
    std::array<int32_t, size> names;
    size_t count = 0;

    // True once full.
    bool add(uint64_t key, int32_t name) noexcept {
        keys[count] = key;
        names[count] = name;
        return ++count == size;
    }
};

}  // namespace

// The steps of NameIndex::build, each a loop or two over chunks of names,
// words or pair slots shared out on the team. Every step writes the same
// arrays whatever the team: chunks are fixed by the input, and a list that
// many workers fill is sorted by name afterwards.
class NameIndexBuilder {
public:
    NameIndexBuilder(NameIndex& index, const std::string_view* names, int32_t n, const TradeoutTable& table,
                     const NameIndexOptions& options)
        : ix_(index), names_(names), n_(n), table_(table), team_(options.workers, options.stop, options.poll),
          chunk_(static_cast<size_t>(std::max(options.chunk, 1))), name_bounds_(cut_into_chunks()),
          name_chunks_(name_bounds_.size() - 1) {}

    // A step that fails leaves its error with the team; a stop raised after
    // the last step still counts.
    SearchError build() {
        const bool built = cut_names() && intern_chunks() && intern_shards() && renumber() && build_dictionary() &&
                           link_tradeouts() && build_postings() && build_pair_index() && sign_pairs();
        (void)built;
        return team_.error();
    }

private:
    size_t chunks_of(size_t items, size_t per_chunk) const noexcept { return (items + per_chunk - 1) / per_chunk; }
    int32_t name_end(size_t chunk) const noexcept { return name_bounds_[chunk + 1]; }
    int32_t name_begin(size_t chunk) const noexcept { return name_bounds_[chunk]; }
    std::vector<int32_t> cut_into_chunks() const;

    bool cut_names();
    bool intern_chunks();
    void intern_chunk(size_t c, WordIds& local);
    bool intern_shards();
    bool renumber();
    bool build_dictionary();
    void count_distinct(size_t c, std::vector<int32_t>& scratch);
    bool link_tradeouts();
    void find_tradeouts(size_t c, std::vector<int32_t>& found);
    bool build_postings();
    bool build_pair_index();
    bool place_pair_lists();
    bool sign_pairs();
    bool counts_to_starts(std::vector<size_t>& start);
    size_t list_parts(size_t items, size_t keys, size_t positions) const noexcept;
    template <class Emit>
    bool build_lists(size_t items, size_t keys, size_t positions, Emit emit, std::vector<size_t>& start,
                     std::vector<int32_t>& out);
    template <class F>
    void for_each_pair(size_t c, std::vector<int32_t>& scratch, F f);
    // The lists as the build writes them, before the index's views are bound.
    static std::span<const int32_t> list(const std::vector<int32_t>& items, const std::vector<size_t>& start,
                                         int32_t k) noexcept {
        return {items.data() + start[static_cast<size_t>(k)],
                start[static_cast<size_t>(k) + 1] - start[static_cast<size_t>(k)]};
    }
    std::span<const int32_t> name_words(int32_t i) const noexcept { return list(ix_.name_words_, ix_.name_start_, i); }
    std::span<const int32_t> tradeouts_of(int32_t w) const noexcept { return list(ix_.trade_words_, ix_.trade_start_, w); }
    std::span<const int32_t> postings_of(int32_t w) const noexcept { return list(ix_.post_names_, ix_.post_start_, w); }
    // The distinct words of a name of two words or more: most have no
    // repeated word, and are their own list.
    std::span<const int32_t> distinct_of(int32_t i, std::vector<int32_t>& scratch) {
        const auto words = name_words(i);
        if (static_cast<size_t>(distinct_[static_cast<size_t>(i)]) == words.size()) return words;
        distinct_words(words, scratch);
        return scratch;
    }
    void count_pairs(PairBatch& batch) noexcept;
    void fill_pairs(PairBatch& batch) noexcept;
    NameIndex::PairSlot& claim(uint64_t key) noexcept;
    NameIndex::PairSlot& slot_of(uint64_t key) noexcept;

    NameIndex& ix_;
    const std::string_view* const names_;
    const int32_t n_;
    const TradeoutTable& table_;
    ParallelFor team_;
    const size_t chunk_;
    const std::vector<int32_t> name_bounds_;  // chunk c holds names [bounds[c], bounds[c + 1])
    const size_t name_chunks_;
    size_t v_ = 0;
    std::vector<ChunkWords> chunks_;              // until renumbered
    std::vector<WordIds> shards_;                 // until the tradeouts are linked
    std::array<size_t, kShards + 1> shard_base_{};  // the first global id of each shard's words
    std::vector<std::string_view> words_;         // by global id, until the tradeouts are linked
    std::vector<int32_t> distinct_;  // per name: its number of distinct words (0 under two words)
    std::atomic<bool> any_long_{false};
    std::atomic<bool> any_repeat_{false};
};

// Chunks of names of about equal work: at most chunk_ names, and no more
// bytes than chunk_ names of kChunkBytesPerName, so that a stop is seen
// within a short chunk even when names are long. Fixed by the names alone.
std::vector<int32_t> NameIndexBuilder::cut_into_chunks() const {
    const size_t max_bytes = chunk_ * kChunkBytesPerName;
    std::vector<int32_t> bounds{0};
    size_t names = 0, bytes = 0;
    for (int32_t i = 0; i < n_; ++i) {
        if (names == chunk_ || (names > 0 && bytes + names_[i].size() > max_bytes)) {
            bounds.push_back(i);
            names = bytes = 0;
        }
        ++names;
        bytes += names_[i].size();
    }
    if (n_ > 0) bounds.push_back(n_);
    return bounds;
}

// Per-key counts in start[0 .. keys) -> where each key's list starts, and
// the total in start[keys].
bool NameIndexBuilder::counts_to_starts(std::vector<size_t>& start) {
    const size_t keys = start.size() - 1;
    const size_t per_chunk = 16 * chunk_;
    const size_t chunks = chunks_of(keys, per_chunk);
    std::vector<size_t> sums(chunks + 1, 0);
    auto range = [&](size_t c) { return std::pair{c * per_chunk, std::min(keys, (c + 1) * per_chunk)}; };
    team_.run(chunks, [&](size_t c, int32_t) {
        const auto [first, last] = range(c);
        size_t sum = 0;
        for (size_t k = first; k < last; ++k) sum += start[k];
        sums[c] = sum;
    });
    size_t total = 0;
    for (size_t& s : sums) total += std::exchange(s, total);
    team_.run(chunks, [&](size_t c, int32_t) {
        const auto [first, last] = range(c);
        size_t at = sums[c];
        for (size_t k = first; k < last; ++k) at += std::exchange(start[k], at);
    });
    start[keys] = total;
    return team_.ok();
}

// Words by position; each name's words start where the words of the names
// before it end.
bool NameIndexBuilder::cut_names() {
    ix_.name_start_.assign(static_cast<size_t>(n_) + 1, 0);
    team_.run(name_chunks_, [&](size_t c, int32_t) {
        for (int32_t i = name_begin(c); i < name_end(c); ++i) {
            size_t count = 0;
            for_each_word(names_[i], [&](std::string_view) { ++count; });
            ix_.name_start_[static_cast<size_t>(i)] = count;
        }
    });
    if (!team_.ok() || !counts_to_starts(ix_.name_start_)) return false;
    ix_.name_words_.resize(ix_.name_start_[static_cast<size_t>(n_)]);
    return true;
}

// Each chunk's words get ids of their own first, so that the shared tables
// see each distinct word once per chunk rather than once per position.
bool NameIndexBuilder::intern_chunks() {
    chunks_.resize(name_chunks_);
    std::vector<WordIds> locals(static_cast<size_t>(team_.workers()));
    return team_.run(name_chunks_, [&](size_t c, int32_t worker) { intern_chunk(c, locals[static_cast<size_t>(worker)]); });
}

void NameIndexBuilder::intern_chunk(size_t c, WordIds& local) {
    local.clear();
    size_t at = ix_.name_start_[static_cast<size_t>(name_begin(c))];
    for (int32_t i = name_begin(c); i < name_end(c); ++i) {
        for_each_word(names_[i], [&](std::string_view w) { ix_.name_words_[at++] = local.intern(w, word_hash(w)); });
    }
    ChunkWords& out = chunks_[c];
    out.words = local.words();
    out.hashes = local.hashes();
    out.ids.resize(out.words.size());
    out.by_shard.resize(out.words.size());
    std::array<uint32_t, kShards + 1> fill{};
    for (uint64_t h : out.hashes) ++fill[shard_of(h) + 1];
    for (size_t s = 0; s < kShards; ++s) fill[s + 1] += fill[s];
    out.shard_start = fill;
    for (size_t k = 0; k < out.hashes.size(); ++k) {
        out.by_shard[fill[shard_of(out.hashes[k])]++] = static_cast<int32_t>(k);
    }
}

// A shard's worker visits the chunks in order, so a word's id within its
// shard follows its first appearance among the names.
bool NameIndexBuilder::intern_shards() {
    shards_.resize(kShards);
    team_.run(kShards, [&](size_t s, int32_t) {
        WordIds& table = shards_[s];
        for (ChunkWords& cw : chunks_) {
            for (uint32_t k = cw.shard_start[s]; k < cw.shard_start[s + 1]; ++k) {
                const auto local = static_cast<size_t>(cw.by_shard[k]);
                cw.ids[local] = table.intern(cw.words[local], cw.hashes[local]);
            }
        }
    });
    if (!team_.ok()) return false;
    for (size_t s = 0; s < kShards; ++s) shard_base_[s + 1] = shard_base_[s] + shards_[s].words().size();
    v_ = shard_base_[kShards];
    if (v_ >= static_cast<size_t>(std::numeric_limits<int32_t>::max())) throw std::length_error("too many distinct words");
    words_.resize(v_);
    return team_.run(kShards, [&](size_t s, int32_t) {
        std::copy(shards_[s].words().begin(), shards_[s].words().end(), words_.begin() + static_cast<std::ptrdiff_t>(shard_base_[s]));
    });
}

// Chunk ids -> global ids, then each name's distinct words counted while its
// words are at hand.
bool NameIndexBuilder::renumber() {
    distinct_.resize(static_cast<size_t>(n_));
    team_.run(name_chunks_, [&](size_t c, int32_t) {
        ChunkWords& cw = chunks_[c];
        for (size_t k = 0; k < cw.ids.size(); ++k) {
            cw.ids[k] = static_cast<int32_t>(shard_base_[shard_of(cw.hashes[k])]) + cw.ids[k];
        }
        const size_t first = ix_.name_start_[static_cast<size_t>(name_begin(c))];
        const size_t last = ix_.name_start_[static_cast<size_t>(name_end(c))];
        for (size_t p = first; p < last; ++p) ix_.name_words_[p] = cw.ids[static_cast<size_t>(ix_.name_words_[p])];
        cw = ChunkWords{};
        std::vector<int32_t> scratch;
        count_distinct(c, scratch);
    });
    chunks_ = {};
    return team_.ok();
}

void NameIndexBuilder::count_distinct(size_t c, std::vector<int32_t>& scratch) {
    bool any_long = false;
    bool any_repeat = false;
    for (int32_t i = name_begin(c); i < name_end(c); ++i) {
        const auto words = name_words(i);
        int32_t d = 0;
        if (words.size() >= 2) {
            d = static_cast<int32_t>(count_distinct_words(words, scratch));
            any_long |= d > NameIndex::max_pair_words;
            any_repeat |= static_cast<size_t>(d) < words.size();
        }
        distinct_[static_cast<size_t>(i)] = d;
    }
    if (any_long) any_long_.store(true, std::memory_order_relaxed);
    if (any_repeat) any_repeat_.store(true, std::memory_order_relaxed);
}

// The dictionary a lookup finds words by: each word's bytes by id, copied
// out of the names, and each shard's ids in a region of its own, so that the
// shards fill their regions at once.
bool NameIndexBuilder::build_dictionary() {
    ix_.word_start_.assign(v_ + 1, 0);
    for (size_t w = 0; w < v_; ++w) ix_.word_start_[w + 1] = ix_.word_start_[w] + words_[w].size();
    ix_.word_bytes_.resize(ix_.word_start_[v_]);
    size_t largest = 0;
    for (size_t s = 0; s < kShards; ++s) largest = std::max(largest, shards_[s].words().size());
    int bits = 2;
    while ((size_t{1} << bits) < 2 * largest) ++bits;  // half full at most: probes stay short, and end
    ix_.word_region_bits_ = bits;
    ix_.word_slots_.assign(NameIndex::kWordRegions << bits, 0);
    static_assert(NameIndex::kWordRegions == kShards);
    return team_.run(kShards, [&](size_t s, int32_t) {
        const WordIds& shard = shards_[s];
        uint64_t* const region = ix_.word_slots_.data() + (s << bits);
        const size_t mask = (size_t{1} << bits) - 1;
        for (size_t k = 0; k < shard.words().size(); ++k) {
            const auto id = static_cast<int32_t>(shard_base_[s] + k);
            const std::string_view w = shard.words()[k];
            std::memcpy(ix_.word_bytes_.data() + ix_.word_start_[static_cast<size_t>(id)], w.data(), w.size());
            size_t at = NameIndex::word_home(shard.hashes()[k], bits);
            while (region[at] != 0) at = (at + 1) & mask;
            region[at] = NameIndex::word_slot(shard.hashes()[k], id);
        }
    });
}

// Each distinct word is looked up once here, not once per pair. Tradeouts
// that are no word of any name are dropped: they can never be found.
bool NameIndexBuilder::link_tradeouts() {
    const size_t chunks = chunks_of(v_, chunk_);
    std::vector<std::vector<int32_t>> found(chunks);
    ix_.trade_start_.assign(v_ + 1, 0);
    if (!team_.run(chunks, [&](size_t c, int32_t) { find_tradeouts(c, found[c]); }) ||
        !counts_to_starts(ix_.trade_start_)) {
        return false;
    }
    ix_.trade_words_.resize(ix_.trade_start_[v_]);
    team_.run(chunks, [&](size_t c, int32_t) {
        std::copy(found[c].begin(), found[c].end(),
                  ix_.trade_words_.begin() + static_cast<std::ptrdiff_t>(ix_.trade_start_[c * chunk_]));
        found[c] = {};
    });
    shards_ = {};
    words_ = {};
    if (!team_.ok()) return false;
    auto tradeouts = [&](int32_t w, std::vector<int32_t>&, auto&& f) {
        for (int32_t t : tradeouts_of(w)) f(t);
    };
    return build_lists(v_, v_, ix_.trade_words_.size(), tradeouts, ix_.from_start_, ix_.from_words_);
}

// The tradeouts of words [c * chunk, ...) into `found`, one after another,
// and how many each word has into trade_start_.
void NameIndexBuilder::find_tradeouts(size_t c, std::vector<int32_t>& found) {
    std::vector<int32_t> ids;
    for (size_t w = c * chunk_; w < std::min(v_, (c + 1) * chunk_); ++w) {
        const MatchList* list = tradeout_table_lookup(table_, words_[w]);
        if (list == nullptr) continue;
        ids.clear();
        for (std::string_view t : list->words) {
            const uint64_t h = word_hash(t);
            const size_t s = shard_of(h);
            const int32_t local = shards_[s].find(t, h);
            const auto id = static_cast<int32_t>(shard_base_[s]) + local;
            if (local >= 0 && id != static_cast<int32_t>(w)) ids.push_back(id);  // the word itself is always found
        }
        // Rising, so that a tradeout is looked up by halving.
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        ix_.trade_start_[w] = ids.size();
        found.insert(found.end(), ids.begin(), ids.end());
    }
}

// The parts a list build cuts its items into: one per worker and more, to
// balance a team that shares the machine, as long as each part's counts
// (one per key) stay small beside the lists themselves.
size_t NameIndexBuilder::list_parts(size_t items, size_t keys, size_t positions) const noexcept {
    const auto workers = static_cast<size_t>(team_.workers());
    if (workers == 1 || items == 0 || keys == 0) return 1;
    return std::clamp<size_t>(positions / keys, 1, std::min(4 * workers, items));
}

// For each key, the items that emit(item, scratch, f) calls f(key) for, at
// most once per item, in increasing order: a count pass over parts of the
// items, then a fill pass, each part's place in every list known from the
// counts of the parts before it.
template <class Emit>
bool NameIndexBuilder::build_lists(size_t items, size_t keys, size_t positions, Emit emit,
                                   std::vector<size_t>& start, std::vector<int32_t>& out) {
    const size_t parts = list_parts(items, keys, positions);
    std::vector<uint32_t> at(parts * keys, 0);  // per part and key: a count, then where the part's names go
    auto each_item = [&](size_t p, auto&& f) {
        std::vector<int32_t> scratch;
        // A part is long: a stop is seen name by name.
        for (size_t i = part_begin(items, parts, p); i < part_begin(items, parts, p + 1) && !team_.stopping(); ++i) {
            emit(static_cast<int32_t>(i), scratch, [&](int32_t k) { f(static_cast<int32_t>(i), static_cast<size_t>(k)); });
        }
    };
    team_.run(parts, [&](size_t p, int32_t) { each_item(p, [&](int32_t, size_t k) { ++at[p * keys + k]; }); });
    start.assign(keys + 1, 0);
    team_.run(chunks_of(keys, 16 * chunk_), [&](size_t c, int32_t) {
        for (size_t k = c * 16 * chunk_; k < std::min(keys, (c + 1) * 16 * chunk_); ++k) {
            uint32_t sum = 0;
            for (size_t p = 0; p < parts; ++p) sum += std::exchange(at[p * keys + k], sum);
            start[k] = sum;
        }
    });
    if (!team_.ok() || !counts_to_starts(start)) return false;
    out.resize(start[keys]);
    return team_.run(parts, [&](size_t p, int32_t) {
        each_item(p, [&](int32_t i, size_t k) { out[start[k] + at[p * keys + k]++] = i; });
    });
}

// Word -> names of two words or more, and the same for the long names and
// for the names that repeat a word.
bool NameIndexBuilder::build_postings() {
    const size_t positions = ix_.name_words_.size();
    const auto n = static_cast<size_t>(n_);
    auto words_of = [&](int32_t i, std::vector<int32_t>& scratch, auto&& f) {
        if (distinct_[static_cast<size_t>(i)] == 0) return;
        for (int32_t w : distinct_of(i, scratch)) f(w);
    };
    if (!build_lists(n, v_, positions, words_of, ix_.post_start_, ix_.post_names_)) return false;
    ix_.reach_.assign(v_, 0);
    team_.run(chunks_of(v_, chunk_), [&](size_t c, int32_t) {
        for (size_t w = c * chunk_; w < std::min(v_, (c + 1) * chunk_); ++w) {
            auto r = static_cast<int64_t>(postings_of(static_cast<int32_t>(w)).size());
            for (int32_t t : tradeouts_of(static_cast<int32_t>(w))) r += static_cast<int64_t>(postings_of(t).size());
            ix_.reach_[w] = r;
        }
    });
    if (any_long_.load()) {
        auto long_words = [&](int32_t i, std::vector<int32_t>& scratch, auto&& f) {
            if (distinct_[static_cast<size_t>(i)] > NameIndex::max_pair_words) words_of(i, scratch, f);
        };
        if (!build_lists(n, v_, positions, long_words, ix_.long_start_, ix_.long_names_)) return false;
    }
    if (!any_repeat_.load()) {
        ix_.repeat_start_.assign(v_ + 1, 0);
        return team_.ok();
    }
    auto repeats = [&](int32_t i, std::vector<int32_t>& scratch, auto&& f) {
        const auto words = name_words(i);
        if (words.size() < 2 || static_cast<size_t>(distinct_[static_cast<size_t>(i)]) == words.size()) return;
        repeated_words(words, scratch);
        for (int32_t w : scratch) f(w);
    };
    return build_lists(n, v_, positions, repeats, ix_.repeat_start_, ix_.repeat_names_);
}

// Calls f(key, name) for every pair of distinct words of every name of
// chunk c that belongs in the pair index.
template <class F>
void NameIndexBuilder::for_each_pair(size_t c, std::vector<int32_t>& scratch, F f) {
    for (int32_t i = name_begin(c); i < name_end(c); ++i) {
        const int32_t d = distinct_[static_cast<size_t>(i)];
        if (d < 2 || d > NameIndex::max_pair_words) continue;
        const bool longer = name_words(i).size() > 2;
        const auto distinct = distinct_of(i, scratch);
        for (size_t a = 0; a < distinct.size(); ++a) {
            for (size_t b = a + 1; b < distinct.size(); ++b) f(NameIndex::pair_key(distinct[a], distinct[b], longer), i);
        }
    }
}

// The key's slot, taken for it when free. Workers race for free slots; the
// loser of a race reads the winner's key and goes on probing if it differs.
NameIndex::PairSlot& NameIndexBuilder::claim(uint64_t key) noexcept {
    const size_t mask = ix_.pair_slot_count_ - 1;
    for (size_t s = ix_.pair_home(key);; s = (s + 1) & mask) {
        NameIndex::PairSlot& slot = ix_.pair_slots_[s];
        std::atomic_ref<uint64_t> slot_key(slot.key);
        uint64_t seen = slot_key.load(std::memory_order_relaxed);
        if (seen == NameIndex::empty_key &&
            slot_key.compare_exchange_strong(seen, key, std::memory_order_relaxed)) {
            return slot;
        }
        if (seen == key) return slot;
    }
}

// The slot of a key that claim() has placed.
NameIndex::PairSlot& NameIndexBuilder::slot_of(uint64_t key) noexcept {
    const size_t mask = ix_.pair_slot_count_ - 1;
    size_t s = ix_.pair_home(key);
    while (ix_.pair_slots_[s].key != key) s = (s + 1) & mask;
    return ix_.pair_slots_[s];
}

void NameIndexBuilder::count_pairs(PairBatch& batch) noexcept {
    for (size_t k = 0; k < batch.count; ++k) __builtin_prefetch(&ix_.pair_slots_[ix_.pair_home(batch.keys[k])], 1);
    for (size_t k = 0; k < batch.count; ++k) {
        std::atomic_ref<uint32_t>(claim(batch.keys[k]).count).fetch_add(1, std::memory_order_relaxed);
    }
    batch.count = 0;
}

void NameIndexBuilder::fill_pairs(PairBatch& batch) noexcept {
    std::array<int32_t*, PairBatch::size> to;
    for (size_t k = 0; k < batch.count; ++k) __builtin_prefetch(&ix_.pair_slots_[ix_.pair_home(batch.keys[k])], 1);
    for (size_t k = 0; k < batch.count; ++k) {
        NameIndex::PairSlot& slot = slot_of(batch.keys[k]);
        to[k] = ix_.pair_names_.data() + slot.start +
                std::atomic_ref<uint32_t>(slot.count).fetch_add(1, std::memory_order_relaxed);
        __builtin_prefetch(to[k], 1);
    }
    for (size_t k = 0; k < batch.count; ++k) *to[k] = batch.names[k];
    batch.count = 0;
}

// Pair of distinct words -> names holding both, for names of two to
// max_pair_words distinct words, over an open-addressing table: a count
// pass, the lists placed, then a fill pass.
bool NameIndexBuilder::build_pair_index() {
    std::vector<uint64_t> chunk_entries(name_chunks_, 0);
    team_.run(name_chunks_, [&](size_t c, int32_t) {
        for (int32_t i = name_begin(c); i < name_end(c); ++i) {
            const auto d = static_cast<uint64_t>(distinct_[static_cast<size_t>(i)]);
            if (d >= 2 && d <= NameIndex::max_pair_words) chunk_entries[c] += d * (d - 1) / 2;
        }
    });
    uint64_t entries = 0;
    for (uint64_t e : chunk_entries) entries += e;
    // Positions are 32-bit; beyond that, rows fall back to the word index.
    if (!team_.ok() || entries >= std::numeric_limits<uint32_t>::max()) return team_.ok();
    int bits = 4;
    while ((uint64_t{1} << bits) < 2 * entries) ++bits;
    ix_.pair_slots_ = std::make_unique_for_overwrite<NameIndex::PairSlot[]>(size_t{1} << bits);
    ix_.pair_slot_count_ = size_t{1} << bits;
    ix_.pair_shift_ = 64 - bits;
    ix_.pair_names_.resize(entries);
    team_.run(chunks_of(ix_.pair_slot_count_, 16 * chunk_), [&](size_t c, int32_t) {
        const size_t first = c * 16 * chunk_;
        const size_t last = std::min(ix_.pair_slot_count_, first + 16 * chunk_);
        std::fill(ix_.pair_slots_.get() + first, ix_.pair_slots_.get() + last, NameIndex::PairSlot{NameIndex::empty_key, 0, 0});
    });
    // Both passes visit every pair of every name, a batch at a time.
    auto over_pairs = [&](auto flush) {
        team_.run(name_chunks_, [&](size_t c, int32_t) {
            PairBatch batch;
            std::vector<int32_t> scratch;
            for_each_pair(c, scratch, [&](uint64_t key, int32_t i) {
                if (batch.add(key, i)) flush(batch);
            });
            flush(batch);
        });
    };
    over_pairs([&](PairBatch& batch) { count_pairs(batch); });
    if (!place_pair_lists()) return false;
    over_pairs([&](PairBatch& batch) { fill_pairs(batch); });
    // Workers filled each list in the order they reached its names.
    return team_.run(chunks_of(ix_.pair_slot_count_, 16 * chunk_), [&](size_t c, int32_t) {
        for (size_t s = c * 16 * chunk_; s < std::min(ix_.pair_slot_count_, (c + 1) * 16 * chunk_); ++s) {
            const NameIndex::PairSlot& slot = ix_.pair_slots_[s];
            int32_t* const first = ix_.pair_names_.data() + slot.start;
            if (slot.count > 1 && !std::is_sorted(first, first + slot.count)) std::sort(first, first + slot.count);
        }
    });
}

// Each word's bits of the words it is paired with (NameIndex::may_pair),
// from the pair table's keys.
bool NameIndexBuilder::sign_pairs() {
    if (ix_.pair_slot_count_ == 0) return true;
    ix_.pair_signs_.assign(2 * v_, 0);
    return team_.run(chunks_of(ix_.pair_slot_count_, 16 * chunk_), [&](size_t c, int32_t) {
        for (size_t s = c * 16 * chunk_; s < std::min(ix_.pair_slot_count_, (c + 1) * 16 * chunk_); ++s) {
            const uint64_t key = ix_.pair_slots_[s].key;
            if (key == NameIndex::empty_key) continue;
            const auto a = static_cast<int32_t>(key >> 32 & 0x7FFFFFFFu);
            const auto b = static_cast<int32_t>(key & 0xFFFFFFFFu);
            const size_t k = key >> 63;
            std::atomic_ref<uint64_t>(ix_.pair_signs_[2 * static_cast<size_t>(a) + k])
                .fetch_or(NameIndex::pair_bit(b), std::memory_order_relaxed);
            std::atomic_ref<uint64_t>(ix_.pair_signs_[2 * static_cast<size_t>(b) + k])
                .fetch_or(NameIndex::pair_bit(a), std::memory_order_relaxed);
        }
    });
}

// Counts -> where each slot's list starts, slots in table order; the counts
// start again from zero for the fill pass.
bool NameIndexBuilder::place_pair_lists() {
    const size_t per_chunk = 16 * chunk_;
    const size_t chunks = chunks_of(ix_.pair_slot_count_, per_chunk);
    std::vector<uint32_t> sums(chunks + 1, 0);
    auto range = [&](size_t c) { return std::pair{c * per_chunk, std::min(ix_.pair_slot_count_, (c + 1) * per_chunk)}; };
    team_.run(chunks, [&](size_t c, int32_t) {
        const auto [first, last] = range(c);
        for (size_t s = first; s < last; ++s) sums[c] += ix_.pair_slots_[s].count;
    });
    uint32_t total = 0;
    for (uint32_t& s : sums) total += std::exchange(s, total);
    return team_.run(chunks, [&](size_t c, int32_t) {
        const auto [first, last] = range(c);
        uint32_t at = sums[c];
        for (size_t s = first; s < last; ++s) {
            NameIndex::PairSlot& slot = ix_.pair_slots_[s];
            slot.start = at;
            at += std::exchange(slot.count, 0);
        }
    });
}

std::span<const int32_t> NameIndex::pair_postings(int32_t a, int32_t b, bool longer) const noexcept {
    if (!may_pair(a, b, longer)) return {};
    const uint64_t key = pair_key(a, b, longer);
    const size_t mask = c_.pair_slots.size - 1;
    for (size_t s = pair_home(key);; s = (s + 1) & mask) {
        const PairSlot& slot = c_.pair_slots[s];
        if (slot.key == key) return {c_.pair_names.data + slot.start, slot.count};
        if (slot.key == empty_key) return {};
    }
}

uint64_t NameIndex::word_hash(std::string_view word) noexcept { return talvik::word_hash(word); }

int32_t NameIndex::find_word(std::string_view word) const noexcept {
    if (c_.word_slots.empty()) return -1;
    const uint64_t h = word_hash(word);
    const uint64_t tag = h & 0xFFFFFFFFull;
    const size_t size = size_t{1} << word_region_bits_;
    const uint64_t* region = c_.word_slots.data + (word_region(h) << word_region_bits_);
    size_t at = word_home(h, word_region_bits_);
    // At most one lap: a region of a saved file need not have a free slot.
    for (size_t probes = 0; probes < size; ++probes, at = (at + 1) & (size - 1)) {
        const uint64_t slot = region[at];
        if (slot == 0) return -1;
        const auto id = static_cast<int32_t>((slot & 0xFFFFFFFFull) - 1);
        if (slot >> 32 == tag && same_bytes(word_text(id), word)) return id;
    }
    return -1;
}

template <class T>
static Column<T> column_of(const std::vector<T>& v) noexcept {
    return {v.data(), v.size()};
}

void NameIndex::bind() noexcept {
    c_.name_start = column_of(name_start_);
    c_.name_words = column_of(name_words_);
    c_.trade_start = column_of(trade_start_);
    c_.trade_words = column_of(trade_words_);
    c_.from_start = column_of(from_start_);
    c_.from_words = column_of(from_words_);
    c_.post_start = column_of(post_start_);
    c_.post_names = column_of(post_names_);
    c_.reach = column_of(reach_);
    c_.pair_slots = {pair_slots_.get(), pair_slot_count_};
    c_.pair_names = column_of(pair_names_);
    c_.repeat_start = column_of(repeat_start_);
    c_.repeat_names = column_of(repeat_names_);
    c_.long_start = column_of(long_start_);
    c_.long_names = column_of(long_names_);
    c_.word_start = column_of(word_start_);
    c_.word_bytes = column_of(word_bytes_);
    c_.word_slots = column_of(word_slots_);
    set_shifts();
}

void NameIndex::set_shifts() noexcept {
    pair_shift_ = 64 - std::countr_zero(std::max<size_t>(c_.pair_slots.size, 1));
    word_region_bits_ = std::countr_zero(std::max<size_t>(c_.word_slots.size, kWordRegions)) - kWordRegionBits;
}

std::unique_ptr<NameIndex> NameIndex::over(const NameIndexColumns& columns) {
    auto index = std::make_unique<NameIndex>();
    index->c_ = columns;
    index->set_shifts();
    return index;
}

NameIndexBuilt NameIndex::build(const std::string_view* names, int32_t n, const TradeoutTable& table,
                                const NameIndexOptions& options) noexcept {
    NameIndexBuilt built;
    try {
        auto index = std::make_unique<NameIndex>();
        NameIndexBuilder builder(*index, names, n, table, options);
        built.error = builder.build();
        if (built.error == SearchError::none) {
            index->bind();
            built.index = std::move(index);
        }
    } catch (const std::bad_alloc&) {
        built.error = SearchError::out_of_memory;
    } catch (const std::length_error&) {
        built.error = SearchError::out_of_memory;
    }
    return built;
}

}  // namespace talvik
