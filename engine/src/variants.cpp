// Symmetric deletion: two words within k edits both shrink, by at most k
// deletions each, to one common string (every edit costs each side at most
// one deletion, a swap included). So each short word is keyed by the hashes
// of all its deletion variants, and the keys are sorted into groups. Each
// word then gathers the later words of every group it is in, and checks each
// of them once: the pairs come out in order, and a pair that shares many
// keys is still verified only once.
#include "talvik/variants.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <new>
#include <stdexcept>

#include "parallel_for.h"
#include "talvik/memory_limit.h"

namespace talvik {
namespace {

// Words longer than this are compared directly instead of keyed: a word of
// L code points has about L*L/2 two-deletion variants.
constexpr int32_t longest_keyed = 32;
constexpr size_t words_per_chunk = 4096;
constexpr uint64_t hash_base = 0x100000001B3ull * 0x9E3779B97F4A7C15ull | 1;

constexpr uint64_t mix(uint64_t x) noexcept {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    x ^= x >> 33;
    return x;
}

// The end of the valid UTF-8 sequence that starts at s[i], or i when s[i]
// begins none (overlong forms, surrogates and values past U+10FFFF included).
size_t sequence_end(std::string_view s, size_t i, uint32_t& cp) noexcept {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = byte(i);
    int extra = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (b0 < 0x80) {
        cp = b0;
        return i + 1;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
        extra = 1;
        cp = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        extra = 2;
        cp = b0 & 0x0Fu;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        extra = 3;
        cp = b0 & 0x07u;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return i;
    }
    if (s.size() - i <= static_cast<size_t>(extra)) return i;
    for (int k = 1; k <= extra; ++k) {
        const unsigned char b = byte(i + static_cast<size_t>(k));
        if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return i;
        cp = cp << 6 | (b & 0x3Fu);
    }
    return i + 1 + static_cast<size_t>(extra);
}

// How many deletion variants (at most) a word of `length` has with up to k deletions.
uint64_t variant_bound(uint64_t length, int32_t k) noexcept {
    uint64_t count = 1 + (k >= 1 ? length : 0);
    if (k >= 2 && length >= 2) count += length * (length - 1) / 2;
    return count;
}

// The distinct hashes of every string left after deleting up to k code
// points of `s` (at most longest_keyed long), appended sorted to `out`.
void deletion_keys(std::span<const uint32_t> s, int32_t k, std::vector<uint64_t>& out) {
    const size_t n = s.size();
    std::array<uint64_t, longest_keyed + 1> pre{}, pw{};
    pw[0] = 1;
    for (size_t t = 0; t < n; ++t) {
        pre[t + 1] = pre[t] * hash_base + mix(s[t] + 1ull);
        pw[t + 1] = pw[t] * hash_base;
    }
    // The hash of s[a, b), as if hashed alone.
    const auto seg = [&](size_t a, size_t b) { return pre[b] - pre[a] * pw[b - a]; };
    const auto key = [](uint64_t h, size_t length) { return mix(h ^ (length * 0xD6E8FEB86659FD93ull)); };
    const size_t first = out.size();
    out.push_back(key(pre[n], n));
    if (k >= 1) {
        for (size_t p = 0; p < n; ++p) out.push_back(key(pre[p] * pw[n - 1 - p] + seg(p + 1, n), n - 1));
    }
    if (k >= 2) {
        for (size_t p = 0; p < n; ++p) {
            for (size_t q = p + 1; q < n; ++q) {
                out.push_back(key(pre[p] * pw[n - 2 - p] + seg(p + 1, q) * pw[n - 1 - q] + seg(q + 1, n), n - 2));
            }
        }
    }
    const auto begin = out.begin() + static_cast<std::ptrdiff_t>(first);
    std::sort(begin, out.end());
    out.erase(std::unique(begin, out.end()), out.end());
}

struct Entry {
    uint64_t key;
    int32_t word;
    uint32_t rank;  // the key's place in the word's own list
};

// In refs_: no later word shares this key.
constexpr uint32_t no_ref = UINT32_MAX;

constexpr uint64_t pack(int32_t a, int32_t b) noexcept {
    return static_cast<uint64_t>(static_cast<uint32_t>(a)) << 32 | static_cast<uint32_t>(b);
}

class VariantSearch {
public:
    VariantSearch(std::span<const std::string_view> words, const VariantOptions& o) noexcept
        : words_(words),
          k_(o.max_edits),
          min_length_(o.min_length),
          swaps_(o.transpositions),
          chunks_((words.size() + words_per_chunk - 1) / words_per_chunk),
          pf_(available_workers(o.threads), o.stop, o.poll) {}

    VariantResult run() noexcept {
        VariantResult result;
        try {
            if (decode() && index() && link_groups() && compare_keyed() && compare_long()) collect(result.pairs);
        } catch (const std::bad_alloc&) {
            pf_.fail(SearchError::out_of_memory);
        } catch (const std::length_error&) {
            pf_.fail(SearchError::out_of_memory);
        }
        switch (pf_.error()) {
            case SearchError::none:
                return result;
            case SearchError::stopped:
                result.error = VariantError::stopped;
                break;
            default:
                result.error = VariantError::out_of_memory;
                break;
        }
        result.pairs = {};
        return result;
    }

private:
    std::span<const uint32_t> points(int32_t w) const noexcept {
        const auto u = static_cast<size_t>(w);
        return {cps_[u / words_per_chunk].data() + cp_begin_[u], cp_len_[u]};
    }
    std::span<const uint64_t> keys(int32_t w) const noexcept {
        const auto u = static_cast<size_t>(w);
        return {keys_[u / words_per_chunk].data() + key_begin_[u], key_len_[u]};
    }
    bool eligible(int32_t w) const noexcept { return cp_len_[static_cast<size_t>(w)] >= static_cast<size_t>(min_length_); }
    bool keyed(int32_t w) const noexcept { return eligible(w) && cp_len_[static_cast<size_t>(w)] <= longest_keyed; }
    size_t chunk_end(size_t c) const noexcept { return std::min(words_.size(), (c + 1) * words_per_chunk); }

    // Words are numbered inside by their first bytes, so that a word's
    // variants, which mostly share its beginning, lie near it in memory.
    void arrange() {
        const size_t n = words_.size();
        std::vector<std::pair<uint64_t, int32_t>> by_start(n);
        for (size_t w = 0; w < n; ++w) {
            uint64_t start = 0;
            for (size_t b = 0; b < 8; ++b) {
                start = start << 8 | (b < words_[w].size() ? static_cast<unsigned char>(words_[w][b]) : 0u);
            }
            by_start[w] = {start, static_cast<int32_t>(w)};
        }
        std::sort(by_start.begin(), by_start.end());
        order_.resize(n);
        for (size_t w = 0; w < n; ++w) order_[w] = by_start[w].second;
    }

    // Every word's code points, and a check that its keys fit in memory.
    bool decode() {
        arrange();
        const size_t n = words_.size();
        cps_.resize(chunks_);
        cp_begin_.resize(n);
        cp_len_.resize(n);
        std::vector<uint64_t> bound(chunks_);
        const bool ok = pf_.run(chunks_, [&](size_t c, int32_t) {
            std::vector<uint32_t>& out = cps_[c];
            uint64_t keys = 0;
            for (size_t w = c * words_per_chunk; w < chunk_end(c); ++w) {
                cp_begin_[w] = out.size();
                decode_code_points(words_[static_cast<size_t>(order_[w])], out);
                cp_len_[w] = out.size() - cp_begin_[w];
                if (keyed(static_cast<int32_t>(w))) keys += variant_bound(cp_len_[w], k_);
            }
            bound[c] = keys;
        });
        if (!ok) return false;
        uint64_t total = 0;
        for (uint64_t b : bound) total += b;
        // Each key is held twice (the word's list, the sorted entries), and a
        // list may briefly hold its duplicates.
        if (total > memory_available() / (sizeof(uint64_t) + sizeof(Entry) + 8)) {
            pf_.fail(SearchError::out_of_memory);
            return false;
        }
        return true;
    }

    // The keys of every keyed word, then the same keys sorted into buckets by
    // their top bits, each bucket sorted by key, then word.
    bool index() {
        const size_t n = words_.size();
        keys_.resize(chunks_);
        key_begin_.resize(n);
        key_len_.resize(n);
        if (!pf_.run(chunks_, [&](size_t c, int32_t) {
                std::vector<uint64_t>& out = keys_[c];
                for (size_t w = c * words_per_chunk; w < chunk_end(c); ++w) {
                    key_begin_[w] = out.size();
                    if (keyed(static_cast<int32_t>(w))) deletion_keys(points(static_cast<int32_t>(w)), k_, out);
                    key_len_[w] = static_cast<uint32_t>(out.size() - key_begin_[w]);
                }
                out.shrink_to_fit();
            })) {
            return false;
        }
        size_t total = 0;
        for (const auto& k : keys_) total += k.size();
        bucket_bits_ = std::clamp(static_cast<int>(std::bit_width(total / 8192)), 0, 16);
        while (bucket_bits_ > 0 && (chunks_ << bucket_bits_) > (size_t{1} << 24)) --bucket_bits_;  // the offsets table
        const size_t buckets = size_t{1} << bucket_bits_;
        // Where each chunk's keys go in each bucket: chunk order within a
        // bucket, so that the layout depends on the words alone.
        std::vector<size_t> at(chunks_ * buckets, 0);
        if (!pf_.run(chunks_, [&](size_t c, int32_t) {
                size_t* counts = at.data() + c * buckets;
                for (uint64_t key : keys_[c]) ++counts[bucket_of(key)];
            })) {
            return false;
        }
        bucket_start_.assign(buckets + 1, 0);
        size_t sum = 0;
        for (size_t b = 0; b < buckets; ++b) {
            bucket_start_[b] = sum;
            for (size_t c = 0; c < chunks_; ++c) {
                const size_t count = at[c * buckets + b];
                at[c * buckets + b] = sum;
                sum += count;
            }
        }
        bucket_start_[buckets] = sum;
        if (total >= no_ref) throw std::length_error("keys");  // refs_ address entries in 32 bits
        entries_.reset(new Entry[total]);
        entry_count_ = total;
        return pf_.run(chunks_, [&](size_t c, int32_t) {
            size_t* next = at.data() + c * buckets;
            for (size_t w = c * words_per_chunk; w < chunk_end(c); ++w) {
                const auto list = keys(static_cast<int32_t>(w));
                for (size_t r = 0; r < list.size(); ++r) {
                    entries_[next[bucket_of(list[r])]++] = Entry{list[r], static_cast<int32_t>(w), static_cast<uint32_t>(r)};
                }
            }
        });
    }

    size_t bucket_of(uint64_t key) const noexcept {
        return bucket_bits_ == 0 ? 0 : static_cast<size_t>(key >> (64 - bucket_bits_));
    }

    // Sorts each bucket by key, then word, and points each word's key at its
    // own entry when a later word shares it. The keys themselves are then
    // no longer needed.
    bool link_groups() {
        const size_t buckets = bucket_start_.size() - 1;
        refs_.resize(chunks_);
        for (size_t c = 0; c < chunks_; ++c) refs_[c].assign(keys_[c].size(), no_ref);
        keys_ = {};
        return pf_.run(buckets, [&](size_t b, int32_t) {
            Entry* first = entries_.get() + bucket_start_[b];
            Entry* last = entries_.get() + bucket_start_[b + 1];
            std::sort(first, last, [](const Entry& x, const Entry& y) {
                return x.key < y.key || (x.key == y.key && x.word < y.word);
            });
            for (Entry* e = first; e + 1 < last; ++e) {
                if (e[1].key != e->key) continue;
                const auto w = static_cast<size_t>(e->word);
                refs_[w / words_per_chunk][key_begin_[w] + e->rank] = static_cast<uint32_t>(e - entries_.get());
            }
        });
    }

    // Each keyed word against the later words it shares a key with, each once.
    bool compare_keyed() {
        found_.resize(chunks_);
        return pf_.run(chunks_, [&](size_t c, int32_t) {
            std::vector<int32_t> later;
            std::vector<uint64_t>& out = found_[c];
            uint64_t work = 0;
            for (size_t w = c * words_per_chunk; w < chunk_end(c); ++w) {
                const auto x = static_cast<int32_t>(w);
                later.clear();
                const uint32_t* ref = refs_[c].data() + key_begin_[w];
                for (uint32_t r = 0; r < key_len_[w]; ++r) {
                    if (ref[r] == no_ref) continue;
                    const Entry* e = entries_.get() + ref[r];
                    const uint64_t key = e->key;
                    for (++e; e != entries_.get() + entry_count_ && e->key == key; ++e) later.push_back(e->word);
                }
                work += later.size();
                if (work > 65536) {
                    if (pf_.stopping()) return;
                    work = 0;
                }
                if (later.empty()) continue;
                std::sort(later.begin(), later.end());
                later.erase(std::unique(later.begin(), later.end()), later.end());
                const auto px = points(x);
                for (int32_t y : later) {
                    const size_t ly = cp_len_[static_cast<size_t>(y)];
                    if (ly > px.size() + static_cast<size_t>(k_) || px.size() > ly + static_cast<size_t>(k_)) continue;
                    if (within_edits(px, points(y), k_, swaps_)) out.push_back(pack(x, y));
                }
            }
        });
    }

    // Words too long to key, against every eligible word of nearly their length.
    bool compare_long() {
        std::vector<int32_t> near;  // by length, then index
        for (size_t w = 0; w < words_.size(); ++w) {
            if (eligible(static_cast<int32_t>(w)) && cp_len_[w] + static_cast<size_t>(k_) > longest_keyed) {
                near.push_back(static_cast<int32_t>(w));
            }
        }
        std::vector<int32_t> long_words;
        for (int32_t w : near) {
            if (!keyed(w)) long_words.push_back(w);
        }
        if (long_words.empty()) return true;
        std::stable_sort(near.begin(), near.end(), [&](int32_t a, int32_t b) {
            return cp_len_[static_cast<size_t>(a)] < cp_len_[static_cast<size_t>(b)];
        });
        constexpr size_t per_chunk = 64;
        const size_t chunks = (long_words.size() + per_chunk - 1) / per_chunk;
        long_found_.resize(chunks);
        return pf_.run(chunks, [&](size_t c, int32_t) {
            std::vector<uint64_t>& out = long_found_[c];
            const size_t end = std::min(long_words.size(), (c + 1) * per_chunk);
            for (size_t i = c * per_chunk; i < end; ++i) {
                const int32_t a = long_words[i];
                const auto pa = points(a);
                const size_t lo = pa.size() - static_cast<size_t>(k_);
                auto it = std::lower_bound(near.begin(), near.end(), lo, [&](int32_t w, size_t length) {
                    return cp_len_[static_cast<size_t>(w)] < length;
                });
                for (; it != near.end() && cp_len_[static_cast<size_t>(*it)] <= pa.size() + static_cast<size_t>(k_); ++it) {
                    const int32_t b = *it;
                    if (b == a || (!keyed(b) && b < a)) continue;  // a long pair is the smaller one's
                    if (pf_.stopping()) return;
                    if (within_edits(pa, points(b), k_, swaps_)) out.push_back(a < b ? pack(a, b) : pack(b, a));
                }
            }
        });
    }

    // Every pair found, in the caller's numbering, by first word, then second.
    void collect(std::vector<VariantPair>& pairs) {
        const size_t n = words_.size();
        std::vector<size_t> start(n + 1, 0);
        const auto each = [&](auto&& f) {
            for (auto* lists : {&found_, &long_found_}) {
                for (const auto& list : *lists) {
                    for (uint64_t p : list) {
                        const int32_t a = order_[p >> 32], b = order_[static_cast<uint32_t>(p)];
                        f(std::min(a, b), std::max(a, b));
                    }
                }
            }
        };
        each([&](int32_t a, int32_t) { ++start[static_cast<size_t>(a) + 1]; });
        for (size_t i = 0; i < n; ++i) start[i + 1] += start[i];
        std::vector<int32_t> second(start[n]);
        std::vector<size_t> next(start.begin(), start.end() - 1);
        each([&](int32_t a, int32_t b) { second[next[static_cast<size_t>(a)]++] = b; });
        found_ = {};
        long_found_ = {};
        pairs.resize(start[n]);
        for (size_t i = 0; i < n; ++i) {
            const auto first = second.begin() + static_cast<std::ptrdiff_t>(start[i]);
            const auto last = second.begin() + static_cast<std::ptrdiff_t>(start[i + 1]);
            std::sort(first, last);
            for (auto it = first; it != last; ++it) pairs[static_cast<size_t>(it - second.begin())] = {static_cast<int32_t>(i), *it};
        }
    }

    std::span<const std::string_view> words_;
    const int32_t k_;
    const int32_t min_length_;
    const bool swaps_;
    const size_t chunks_;
    ParallelFor pf_;
    std::vector<int32_t> order_;              // the caller's index of each word inside
    std::vector<std::vector<uint32_t>> cps_;  // per chunk of words
    std::vector<size_t> cp_begin_;            // within the word's chunk
    std::vector<size_t> cp_len_;
    std::vector<std::vector<uint64_t>> keys_;  // per chunk of words, each word's sorted
    std::vector<std::vector<uint32_t>> refs_;  // beside keys_: the key's entry, or no_ref
    std::vector<size_t> key_begin_;
    std::vector<uint32_t> key_len_;
    int bucket_bits_ = 0;
    std::vector<size_t> bucket_start_;
    std::unique_ptr<Entry[]> entries_;
    size_t entry_count_ = 0;
    std::vector<std::vector<uint64_t>> found_;       // per chunk of words
    std::vector<std::vector<uint64_t>> long_found_;  // per chunk of long words
};

}  // namespace

void decode_code_points(std::string_view word, std::vector<uint32_t>& out) {
    for (size_t i = 0; i < word.size();) {
        uint32_t cp = 0;
        const size_t end = sequence_end(word, i, cp);
        if (end == i) {
            out.push_back(0x110000u + static_cast<unsigned char>(word[i]));
            ++i;
        } else {
            out.push_back(cp);
            i = end;
        }
    }
}

bool within_edits(std::span<const uint32_t> a, std::span<const uint32_t> b, int32_t max_edits,
                  bool transpositions) noexcept {
    // A common prefix and suffix change no distance, swaps included, and
    // variants mostly differ in a few code points in the middle.
    if (a.size() > b.size() + 2 || b.size() > a.size() + 2) return false;
    while (!a.empty() && !b.empty() && a.front() == b.front()) a = a.subspan(1), b = b.subspan(1);
    while (!a.empty() && !b.empty() && a.back() == b.back()) a = a.first(a.size() - 1), b = b.first(b.size() - 1);
    // The dynamic programme on the diagonal band |i - j| <= k only: any cell
    // outside it is already more than k. Row i keeps column j at j - i + k.
    const int32_t k = max_edits;
    const auto la = static_cast<int64_t>(a.size()), lb = static_cast<int64_t>(b.size());
    if (la - lb > k || lb - la > k) return false;
    if (la == 0 || lb == 0) return true;
    constexpr int32_t width = 5;  // 2k + 1 for k = 2
    const int32_t over = k + 1;
    std::array<int32_t, width> before{}, prev{}, cur{};
    before.fill(over);
    for (int32_t d = 0; d < width; ++d) {
        const int64_t j = d - k;  // row 0
        prev[static_cast<size_t>(d)] = (j >= 0 && j <= lb && j <= k) ? static_cast<int32_t>(j) : over;
    }
    for (int64_t i = 1; i <= la; ++i) {
        int32_t best = over;
        for (int32_t d = 0; d <= 2 * k; ++d) {
            const int64_t j = i + d - k;
            int32_t v = over;
            if (j == 0) {
                v = i <= k ? static_cast<int32_t>(i) : over;
            } else if (j > 0 && j <= lb) {
                const auto ai = a[static_cast<size_t>(i - 1)], bj = b[static_cast<size_t>(j - 1)];
                v = prev[static_cast<size_t>(d)] + (ai == bj ? 0 : 1);
                if (d + 1 <= 2 * k) v = std::min(v, prev[static_cast<size_t>(d + 1)] + 1);
                if (d >= 1) v = std::min(v, cur[static_cast<size_t>(d - 1)] + 1);
                if (transpositions && i >= 2 && j >= 2 && ai == b[static_cast<size_t>(j - 2)] &&
                    a[static_cast<size_t>(i - 2)] == bj) {
                    v = std::min(v, before[static_cast<size_t>(d)] + 1);
                }
                v = std::min(v, over);
            }
            cur[static_cast<size_t>(d)] = v;
            best = std::min(best, v);
        }
        if (best > k) return false;
        before = prev;
        prev = cur;
    }
    return prev[static_cast<size_t>(lb - la + k)] <= k;
}

VariantResult find_variants(std::span<const std::string_view> words, const VariantOptions& options) noexcept {
    VariantResult result;
    if (options.max_edits < 1 || options.max_edits > 2 || options.min_length < 0) {
        result.error = VariantError::bad_options;
        return result;
    }
    if (words.size() > static_cast<size_t>(INT32_MAX)) {
        result.error = VariantError::out_of_memory;
        return result;
    }
    VariantSearch search(words, options);
    return search.run();
}

}  // namespace talvik
