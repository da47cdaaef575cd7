#include "name_index.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

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

// Word bytes -> dense id, by open addressing with linear probing.
class WordIds {
public:
    WordIds() : slots_(1024, Slot{0, -1}), mask_(1023) {}

    int32_t intern(std::string_view w) {
        const uint64_t h = word_hash(w);
        for (size_t s = h & mask_;; s = (s + 1) & mask_) {
            Slot& slot = slots_[s];
            if (slot.id < 0) {
                if (words_.size() >= static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
                    throw std::length_error("too many distinct words");
                }
                slot = Slot{h, static_cast<int32_t>(words_.size())};
                words_.push_back(w);
                if (2 * words_.size() > slots_.size()) grow();
                return static_cast<int32_t>(words_.size()) - 1;
            }
            if (slot.hash == h && words_[static_cast<size_t>(slot.id)] == w) return slot.id;
        }
    }

    int32_t find(std::string_view w) const noexcept {
        const uint64_t h = word_hash(w);
        for (size_t s = h & mask_;; s = (s + 1) & mask_) {
            const Slot& slot = slots_[s];
            if (slot.id < 0) return -1;
            if (slot.hash == h && words_[static_cast<size_t>(slot.id)] == w) return slot.id;
        }
    }

    const std::vector<std::string_view>& words() const noexcept { return words_; }

private:
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
};

// Compressed rows from per-key counts: start[k] .. start[k + 1] for key k.
void counts_to_starts(std::vector<size_t>& start) {
    size_t total = 0;
    for (size_t& s : start) {
        const size_t count = s;
        s = total;
        total += count;
    }
}

}  // namespace

// The steps of NameIndex::build, each filling some of the index's arrays.
class NameIndexBuilder {
public:
    NameIndexBuilder(NameIndex& index, int32_t n) : ix_(index), n_(n) {}

    // Words by position, the same cut as the matching rule makes: only the
    // ASCII space separates words.
    void intern_words(const std::string_view* names) {
        ix_.name_start_.reserve(static_cast<size_t>(n_) + 1);
        ix_.name_start_.push_back(0);
        for (int32_t i = 0; i < n_; ++i) {
            const char* p = names[i].data();
            const char* const end = p + names[i].size();
            while (p != end) {
                if (*p == ' ') {
                    ++p;
                    continue;
                }
                const void* space = std::memchr(p, ' ', static_cast<size_t>(end - p));
                const char* stop = space ? static_cast<const char*>(space) : end;
                ix_.name_words_.push_back(ids_.intern(std::string_view(p, static_cast<size_t>(stop - p))));
                p = stop;
            }
            ix_.name_start_.push_back(ix_.name_words_.size());
        }
        v_ = ids_.words().size();
        seen_.assign(v_, -1);
    }

    // Each distinct word is looked up once here, not once per pair. Tradeouts
    // that are no word of any name are dropped: they can never be found.
    void link_tradeouts(const TradeoutTable& table) {
        ix_.trade_start_.assign(v_ + 1, 0);
        for (size_t w = 0; w < v_; ++w) {
            ix_.trade_start_[w] = ix_.trade_words_.size();
            const MatchList* list = tradeout_table_lookup(table, ids_.words()[w]);
            if (list == nullptr) continue;
            seen_[w] = static_cast<int32_t>(w);  // the word itself is always found
            for (std::string_view t : list->words) {
                const int32_t id = ids_.find(t);
                if (id < 0 || seen_[static_cast<size_t>(id)] == static_cast<int32_t>(w)) continue;
                seen_[static_cast<size_t>(id)] = static_cast<int32_t>(w);
                ix_.trade_words_.push_back(id);
            }
        }
        ix_.trade_start_[v_] = ix_.trade_words_.size();

        ix_.from_start_.assign(v_ + 1, 0);
        for (int32_t t : ix_.trade_words_) ++ix_.from_start_[static_cast<size_t>(t)];
        counts_to_starts(ix_.from_start_);
        ix_.from_words_.resize(ix_.from_start_[v_]);
        std::vector<size_t> fill(ix_.from_start_.begin(), ix_.from_start_.end() - 1);
        for (size_t w = 0; w < v_; ++w) {
            for (int32_t t : ix_.tradeouts(static_cast<int32_t>(w))) {
                ix_.from_words_[fill[static_cast<size_t>(t)]++] = static_cast<int32_t>(w);
            }
        }
    }

    // Word -> names of two words or more, and the same for the long names.
    // Names are visited in increasing order, so every list comes out sorted.
    void build_postings() {
        std::fill(seen_.begin(), seen_.end(), -1);
        std::vector<int32_t> distinct_count(static_cast<size_t>(n_), 0);
        ix_.post_start_.assign(v_ + 1, 0);
        for (int32_t i = 0; i < n_; ++i) {
            const auto words = ix_.words(i);
            if (words.size() < 2) continue;
            int32_t d = 0;
            for (int32_t w : words) {
                if (seen_[static_cast<size_t>(w)] == i) continue;
                seen_[static_cast<size_t>(w)] = i;
                ++ix_.post_start_[static_cast<size_t>(w)];
                ++d;
            }
            distinct_count[static_cast<size_t>(i)] = d;
            if (d > NameIndex::max_pair_words) any_long_ = true;
        }
        counts_to_starts(ix_.post_start_);
        ix_.post_names_.resize(ix_.post_start_[v_]);
        fill_lists(ix_.post_start_, ix_.post_names_, [](int32_t) { return true; });

        ix_.reach_.assign(v_, 0);
        for (size_t w = 0; w < v_; ++w) {
            int64_t r = static_cast<int64_t>(ix_.postings(static_cast<int32_t>(w)).size());
            for (int32_t t : ix_.tradeouts(static_cast<int32_t>(w))) {
                r += static_cast<int64_t>(ix_.postings(t).size());
            }
            ix_.reach_[w] = r;
        }

        if (any_long_) {
            auto is_long = [&](int32_t i) { return distinct_count[static_cast<size_t>(i)] > NameIndex::max_pair_words; };
            ix_.long_start_.assign(v_ + 1, 0);
            std::fill(seen_.begin(), seen_.end(), -1);
            for (int32_t i = 0; i < n_; ++i) {
                if (!is_long(i)) continue;
                for (int32_t w : ix_.words(i)) {
                    if (seen_[static_cast<size_t>(w)] == i) continue;
                    seen_[static_cast<size_t>(w)] = i;
                    ++ix_.long_start_[static_cast<size_t>(w)];
                }
            }
            counts_to_starts(ix_.long_start_);
            ix_.long_names_.resize(ix_.long_start_[v_]);
            fill_lists(ix_.long_start_, ix_.long_names_, is_long);
        }
        // Repeated words: a name whose word count exceeds its distinct count.
        ix_.repeat_start_.assign(v_ + 1, 0);
        std::vector<int32_t> seen_twice(v_);
        auto repeats = [&](int32_t i, auto&& f) {
            const auto words = ix_.words(i);
            if (words.size() < 2 || static_cast<size_t>(distinct_count[static_cast<size_t>(i)]) == words.size()) return;
            for (int32_t w : words) {  // once per word, at its second position
                if (seen_[static_cast<size_t>(w)] != i) {
                    seen_[static_cast<size_t>(w)] = i;
                } else if (seen_twice[static_cast<size_t>(w)] != i) {
                    seen_twice[static_cast<size_t>(w)] = i;
                    f(w);
                }
            }
        };
        auto restart = [&] {
            std::fill(seen_.begin(), seen_.end(), -1);
            std::fill(seen_twice.begin(), seen_twice.end(), -1);
        };
        restart();
        for (int32_t i = 0; i < n_; ++i) repeats(i, [&](int32_t w) { ++ix_.repeat_start_[static_cast<size_t>(w)]; });
        counts_to_starts(ix_.repeat_start_);
        ix_.repeat_names_.resize(ix_.repeat_start_[v_]);
        std::vector<size_t> fill(ix_.repeat_start_.begin(), ix_.repeat_start_.end() - 1);
        restart();
        for (int32_t i = 0; i < n_; ++i) {
            repeats(i, [&](int32_t w) { ix_.repeat_names_[fill[static_cast<size_t>(w)]++] = i; });
        }
        distinct_ = std::move(distinct_count);
    }

    // Pair of distinct words -> names holding both, for names of two to
    // max_pair_words distinct words: a count pass, then a fill pass in name
    // order, over an open-addressing table.
    void build_pair_index() {
        uint64_t entries = 0;
        for (int32_t i = 0; i < n_; ++i) {
            const auto d = static_cast<uint64_t>(distinct_[static_cast<size_t>(i)]);
            if (d >= 2 && d <= NameIndex::max_pair_words) entries += d * (d - 1) / 2;
        }
        // Positions are 32-bit; beyond that, rows fall back to the word index.
        if (entries >= std::numeric_limits<uint32_t>::max()) return;
        int bits = 4;
        while ((uint64_t{1} << bits) < 2 * entries) ++bits;
        ix_.pair_shift_ = 64 - bits;
        ix_.pair_slots_.assign(size_t{1} << bits, NameIndex::PairSlot{NameIndex::empty_key, 0, 0});
        ix_.pair_names_.resize(entries);

        for_each_pair(
            [&](uint64_t key, int32_t) { ++claim(key).count; });
        uint32_t total = 0;
        for (NameIndex::PairSlot& slot : ix_.pair_slots_) {
            slot.start = total;
            total += slot.count;
            slot.count = 0;
        }
        for_each_pair([&](uint64_t key, int32_t i) {
            NameIndex::PairSlot& slot = claim(key);
            ix_.pair_names_[slot.start + slot.count++] = i;
        });
    }

private:
    template <class Keep>
    void fill_lists(const std::vector<size_t>& start, std::vector<int32_t>& out, Keep keep) {
        std::vector<size_t> fill(start.begin(), start.end() - 1);
        std::fill(seen_.begin(), seen_.end(), -1);
        for (int32_t i = 0; i < n_; ++i) {
            const auto words = ix_.words(i);
            if (words.size() < 2 || !keep(i)) continue;
            for (int32_t w : words) {
                if (seen_[static_cast<size_t>(w)] == i) continue;
                seen_[static_cast<size_t>(w)] = i;
                out[fill[static_cast<size_t>(w)]++] = i;
            }
        }
    }

    // Calls f(key, name) for every pair of distinct words of every name that
    // belongs in the pair index, names in increasing order.
    template <class F>
    void for_each_pair(F f) {
        int32_t distinct[NameIndex::max_pair_words];
        std::fill(seen_.begin(), seen_.end(), -1);
        for (int32_t i = 0; i < n_; ++i) {
            const int32_t d = distinct_[static_cast<size_t>(i)];
            if (d < 2 || d > NameIndex::max_pair_words) continue;
            const bool longer = ix_.words(i).size() > 2;
            int32_t k = 0;
            for (int32_t w : ix_.words(i)) {
                if (seen_[static_cast<size_t>(w)] == i) continue;
                seen_[static_cast<size_t>(w)] = i;
                distinct[k++] = w;
            }
            for (int32_t a = 0; a < k; ++a) {
                for (int32_t b = a + 1; b < k; ++b) f(NameIndex::pair_key(distinct[a], distinct[b], longer), i);
            }
        }
    }

    NameIndex::PairSlot& claim(uint64_t key) noexcept {
        const size_t mask = ix_.pair_slots_.size() - 1;
        for (size_t s = ix_.pair_home(key);; s = (s + 1) & mask) {
            NameIndex::PairSlot& slot = ix_.pair_slots_[s];
            if (slot.key == key) return slot;
            if (slot.key == NameIndex::empty_key) {
                slot.key = key;
                return slot;
            }
        }
    }

    NameIndex& ix_;
    const int32_t n_;
    WordIds ids_;
    size_t v_ = 0;
    std::vector<int32_t> seen_;      // per word: the last name or word that marked it
    std::vector<int32_t> distinct_;  // per name: its number of distinct words (0 under two words)
    bool any_long_ = false;
};

std::span<const int32_t> NameIndex::pair_postings(int32_t a, int32_t b, bool longer) const noexcept {
    const uint64_t key = pair_key(a, b, longer);
    const size_t mask = pair_slots_.size() - 1;
    for (size_t s = pair_home(key);; s = (s + 1) & mask) {
        const PairSlot& slot = pair_slots_[s];
        if (slot.key == key) return {pair_names_.data() + slot.start, slot.count};
        if (slot.key == empty_key) return {};
    }
}

std::unique_ptr<NameIndex> NameIndex::build(const std::string_view* names, int32_t n,
                                            const TradeoutTable& table) noexcept {
    try {
        auto index = std::make_unique<NameIndex>();
        NameIndexBuilder builder(*index, n);
        builder.intern_words(names);
        builder.link_tradeouts(table);
        builder.build_postings();
        builder.build_pair_index();
        return index;
    } catch (const std::bad_alloc&) {
        return nullptr;
    } catch (const std::length_error&) {
        return nullptr;
    }
}

}  // namespace talvik
