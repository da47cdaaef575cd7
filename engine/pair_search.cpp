#include "pair_search.h"

#include <omp.h>
#include <pthread.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <mutex>
#include <new>
#include <optional>

#include "match_validation.h"
#include "name_index.h"

namespace talvik {
namespace {

// Past this a team only adds start-up cost and risks the runtime failing to
// create threads, which it treats as fatal.
constexpr int32_t kMaxWorkers = 1024;

// The GNU OpenMP runtime cannot restart its worker threads in a child made by
// fork(): a team of more than one there waits forever for threads that were
// not copied. A process forked after its parent ran such a team therefore
// searches on the calling thread alone.
std::atomic<bool> team_started{false};
std::atomic<bool> team_lost_in_fork{false};

void after_fork_in_child() {
    if (team_started.load()) team_lost_in_fork.store(true);
}

void note_team(int32_t n_threads) noexcept {
    if (n_threads <= 1 || team_started.load(std::memory_order_relaxed)) return;
    static std::once_flag registered;
    std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, after_fork_in_child); });
    team_started.store(true);
}

void record_error(PairSearchContext& ctx, SearchError e) noexcept {
    SearchError expected = SearchError::none;
    ctx.error.compare_exchange_strong(expected, e);
    ctx.status.store(PairSearchContext::stopped);
}

bool stopped(PairSearchContext& ctx) noexcept {
    if (ctx.status.load(std::memory_order_relaxed) <= 1) return false;
    ctx.rows_skipped.fetch_add(1, std::memory_order_relaxed);
    return true;
}

// How many of a name's word positions must be found, given the word counts.
int32_t need(int32_t count, int32_t other) noexcept { return (count == 3 && other != 2) ? 3 : 2; }

constexpr int32_t kBlockRows = 64;

// Rows with more words than this take the word index alone: their pairs of
// positions would be too many to look up.
constexpr int32_t kMaxPairRowWords = 16;

// Roughly how many postings a scan reads in the time of one pair lookup.
constexpr int64_t kProbeCost = 2;

// Runs `row(i, set)` for every row on a team, a block of rows at a time, and
// records where each block's pairs went. `row` records its own errors.
template <class Row>
void for_each_row(PairSearchContext& ctx, int32_t n_threads, Row row) noexcept {
    const int32_t n = ctx.n_names;
    const int32_t blocks = n / kBlockRows + (n % kBlockRows != 0);
    try {
        ctx.runs.assign(static_cast<size_t>(blocks), PairRun{});
    } catch (const std::bad_alloc&) {
        record_error(ctx, SearchError::out_of_memory);
        return;
    }
#pragma omp parallel num_threads(n_threads)
    {
#pragma omp for schedule(nonmonotonic : dynamic, 1)
        for (int32_t b = 0; b < blocks; ++b) {
            const int tid = omp_get_thread_num();
            NamePairSet& set = ctx.thread_results[tid];
            PairRun& run = ctx.runs[static_cast<size_t>(b)];
            run.worker = tid;
            run.begin = set.count();
            const int32_t last = std::min(n, (b + 1) * kBlockRows);
            for (int32_t i = b * kBlockRows; i < last; ++i) {
                if (stopped(ctx)) continue;
                row(i, set, tid);
                std::atomic_thread_fence(std::memory_order_seq_cst);
            }
            run.end = set.count();
        }
    }
}

void append_row(PairSearchContext& ctx, NamePairSet& set, int32_t i, const std::vector<int32_t>& accepted) noexcept {
    for (int32_t j : accepted) {
        if (!set.append(NamePair{i, j}, ctx.max_pairs_per_set)) {
            record_error(ctx, SearchError::pair_set_full);
            return;
        }
    }
}

void search_every_pair(PairSearchContext& ctx, int32_t n_threads) noexcept {
    const TradeoutTable& tt = *ctx.tt;
    const std::string_view* names = ctx.name_ptrs;
    const int32_t n = ctx.n_names;
    for_each_row(ctx, n_threads, [&](int32_t i, NamePairSet& set, int) {
        for (int32_t j = i + 1; j < n; ++j) {
            if (!validate_match(names[i], names[j], tt)) continue;
            if (!set.append(NamePair{i, j}, ctx.max_pairs_per_set)) {
                record_error(ctx, SearchError::pair_set_full);
                return;
            }
        }
    });
}

// Per row, for each word that can be found from it: which of the row's
// positions it finds (a bit each), and whether a position of another name
// holding it is found in the row. Open addressing, cleared by a generation.
class RowMarks {
public:
    struct Mark {
        uint32_t positions;  // bit p: the word is position p's word or one of its tradeouts
        uint32_t found_back;  // 1: the word, or one of its tradeouts, is a word of the row
    };

    void reset(size_t expected) {
        size_t capacity = 16;
        while (capacity < 2 * expected) capacity *= 2;
        if (capacity > slots_.size()) {
            slots_.assign(capacity, Slot{});
            generation_ = 0;
        }
        mask_ = capacity - 1;
        shift_ = 32 - std::countr_zero(capacity);
        if (++generation_ == 0) {  // wrapped: old marks would look current
            std::fill(slots_.begin(), slots_.end(), Slot{});
            generation_ = 1;
        }
    }

    Mark& at(int32_t word) noexcept {
        for (size_t s = home(word);; s = (s + 1) & mask_) {
            Slot& slot = slots_[s];
            if (slot.generation != generation_) {
                slot = Slot{word, generation_, Mark{0, 0}};
                return slot.mark;
            }
            if (slot.word == word) return slot.mark;
        }
    }

    const Mark* find(int32_t word) const noexcept {
        for (size_t s = home(word);; s = (s + 1) & mask_) {
            const Slot& slot = slots_[s];
            if (slot.generation != generation_) return nullptr;
            if (slot.word == word) return &slot.mark;
        }
    }

private:
    struct Slot {
        int32_t word = 0;
        uint32_t generation = 0;
        Mark mark{0, 0};
    };

    size_t home(int32_t word) const noexcept {
        return (static_cast<uint32_t>(word) * 0x9E3779B1u) >> shift_;
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    int shift_ = 32;
    uint32_t generation_ = 0;
};

// One worker's working space, kept across its rows. Nothing in it grows with
// the number of names, so a large team stays cheap.
struct Scratch {
    RowMarks marks;
    std::vector<int32_t> distinct;   // the row's distinct words
    std::vector<int32_t> position;   // the first position of each
    std::vector<int32_t> repeats;    // how many positions hold each
    std::vector<int32_t> back_words; // the words that are found in the row
    std::vector<int64_t> cost;       // per position, for rows without pairs
    std::vector<int32_t> order;
    std::vector<int32_t> candidates;
    std::vector<int32_t> accepted;   // names that match the row's name, increasing
    int64_t checked = 0;             // candidates checked so far
};

bool contains(std::span<const int32_t> words, int32_t w) noexcept {
    return std::find(words.begin(), words.end(), w) != words.end();
}

void append_after(std::vector<int32_t>& out, std::span<const int32_t> sorted, int32_t i) {
    out.insert(out.end(), std::upper_bound(sorted.begin(), sorted.end(), i), sorted.end());
}

// Candidates in increasing order, each once, and counted.
void settle_candidates(Scratch& s) {
    std::sort(s.candidates.begin(), s.candidates.end());
    s.candidates.erase(std::unique(s.candidates.begin(), s.candidates.end()), s.candidates.end());
    s.checked += static_cast<int64_t>(s.candidates.size());
}

// How many positions of `words` are found in `other`: the word itself or one
// of its tradeouts. Stops once `need` is reached or out of reach.
int32_t count_found(const NameIndex& index, std::span<const int32_t> words, std::span<const int32_t> other,
                    int32_t need) noexcept {
    int32_t found = 0;
    int32_t left = static_cast<int32_t>(words.size());
    for (int32_t w : words) {
        if (found + left-- < need) break;
        bool hit = contains(other, w);
        for (int32_t t : index.tradeouts(w)) {
            if (hit) break;
            hit = contains(other, t);
        }
        if (hit && ++found >= need) break;
    }
    return found;
}

// Rows of many words: every match has at least two positions of row i found,
// so it holds the word (or a tradeout) of a position other than the costliest
// one; the candidates are those positions' postings, checked word by word.
void match_row_by_words(const NameIndex& index, int32_t i, Scratch& s) {
    const auto words_i = index.words(i);
    const int32_t ci = static_cast<int32_t>(words_i.size());
    s.cost.resize(static_cast<size_t>(ci));
    s.order.resize(static_cast<size_t>(ci));
    for (int32_t p = 0; p < ci; ++p) {
        s.cost[static_cast<size_t>(p)] = index.reach(words_i[static_cast<size_t>(p)]);
        s.order[static_cast<size_t>(p)] = p;
    }
    auto cheaper = [&](int32_t a, int32_t b) { return s.cost[static_cast<size_t>(a)] < s.cost[static_cast<size_t>(b)]; };
    std::nth_element(s.order.begin(), s.order.end() - 1, s.order.end(), cheaper);

    s.candidates.clear();
    for (auto p = s.order.begin(); p != s.order.end() - 1; ++p) {
        const int32_t w = words_i[static_cast<size_t>(*p)];
        append_after(s.candidates, index.postings(w), i);
        for (int32_t t : index.tradeouts(w)) append_after(s.candidates, index.postings(t), i);
    }
    settle_candidates(s);

    for (int32_t j : s.candidates) {
        const auto words_j = index.words(j);
        const int32_t cj = static_cast<int32_t>(words_j.size());
        const int32_t need_i = need(ci, cj);
        const int32_t need_j = need(cj, ci);
        if (count_found(index, words_i, words_j, need_i) >= need_i &&
            count_found(index, words_j, words_i, need_j) >= need_j) {
            s.accepted.push_back(j);
        }
    }
}

// Which names the pair index is asked for: of two words, or of three or more.
constexpr unsigned kTwoWords = 1;
constexpr unsigned kLonger = 2;

void append_pairs(const NameIndex& index, int32_t i, int32_t x, int32_t y, unsigned classes, Scratch& s) {
    if (classes & kTwoWords) append_after(s.candidates, index.pair_postings(x, y, false), i);
    if (classes & kLonger) append_after(s.candidates, index.pair_postings(x, y, true), i);
}

// Candidates holding word x, found from two positions of the row at once.
// Such a name still needs two of its own positions found in the row: another
// word the row finds, or x itself twice.
void add_shared_word(const NameIndex& index, int32_t i, int32_t x, unsigned classes, Scratch& s) {
    const auto postings = index.postings(x);
    if (static_cast<int64_t>(s.back_words.size()) * kProbeCost >= static_cast<int64_t>(postings.size())) {
        append_after(s.candidates, postings, i);
        return;
    }
    for (int32_t r : s.back_words) {
        if (r != x) append_pairs(index, i, x, r, classes, s);
    }
    const RowMarks::Mark* mark = s.marks.find(x);
    if (mark != nullptr && mark->found_back != 0) append_after(s.candidates, index.repeat_postings(x), i);
}

// Pair-index lookups for words a and b: every word found from a with every
// word found from b, in postings-read units.
int64_t probe_cost(const NameIndex& index, int32_t a, int32_t b) noexcept {
    return static_cast<int64_t>((index.tradeouts(a).size() + 1) * (index.tradeouts(b).size() + 1)) * kProbeCost;
}

// What add_pair_candidates will cost, in postings read.
int64_t pair_cost(const NameIndex& index, int32_t a, int32_t b) noexcept {
    return std::min(probe_cost(index, a, b), std::min(index.reach(a), index.reach(b)));
}

// Candidates that hold a word found from position pa (word a) and one found
// from position pb (word b): by looking up every pair of those words in the
// pair index, or by scanning the postings of the cheaper side and checking
// the other, whichever costs less.
void add_pair_candidates(const NameIndex& index, int32_t i, int32_t a, int32_t pa, int32_t b, int32_t pb,
                         unsigned classes, Scratch& s) {
    const auto ta = index.tradeouts(a);
    const auto tb = index.tradeouts(b);
    auto word_of = [](int32_t w, std::span<const int32_t> t, size_t k) { return k == 0 ? w : t[k - 1]; };

    if (probe_cost(index, a, b) <= std::min(index.reach(a), index.reach(b))) {
        for (size_t x = 0; x <= ta.size(); ++x) {
            const int32_t wx = word_of(a, ta, x);
            for (size_t y = 0; y <= tb.size(); ++y) {
                const int32_t wy = word_of(b, tb, y);
                if (a == b && y < x) continue;  // the same unordered pair again
                if (wx == wy) {
                    add_shared_word(index, i, wx, classes, s);
                } else {
                    append_pairs(index, i, wx, wy, classes, s);
                }
            }
        }
        return;
    }
    const bool scan_a = index.reach(a) <= index.reach(b);
    const int32_t w = scan_a ? a : b;
    const auto t = scan_a ? ta : tb;
    const uint32_t other_bit = 1u << (scan_a ? pb : pa);
    for (size_t x = 0; x <= t.size(); ++x) {
        const auto postings = index.postings(word_of(w, t, x));
        for (auto j = std::upper_bound(postings.begin(), postings.end(), i); j != postings.end(); ++j) {
            const auto words_j = index.words(*j);
            if ((classes & (words_j.size() == 2 ? kTwoWords : kLonger)) == 0) continue;
            for (int32_t v : words_j) {
                const RowMarks::Mark* mark = s.marks.find(v);
                if (mark != nullptr && (mark->positions & other_bit) != 0) {
                    s.candidates.push_back(*j);
                    break;
                }
            }
        }
    }
}

// The names after `i` that match it, in increasing order, into s.accepted.
// Every match has at least two positions of row i found, so it holds words
// found from two of them: the candidates come from pairs of the row's words.
// A row of three words must have all three found in a name of three or more,
// so for those names one pair of its words is enough. Each candidate is then
// checked exactly, all its words against the row's marks.
void match_row(const NameIndex& index, int32_t i, Scratch& s) {
    s.accepted.clear();
    const auto words_i = index.words(i);
    const int32_t ci = static_cast<int32_t>(words_i.size());
    if (ci < 2) return;
    if (ci > kMaxPairRowWords || !index.has_pair_index()) {
        match_row_by_words(index, i, s);
        return;
    }

    size_t expected = 0;
    for (int32_t w : words_i) expected += 1 + index.tradeouts(w).size() + index.traded_from(w).size();
    s.marks.reset(expected);
    s.distinct.clear();
    s.position.clear();
    s.repeats.clear();
    s.back_words.clear();
    auto mark_back = [&](int32_t w) {
        RowMarks::Mark& mark = s.marks.at(w);
        if (mark.found_back == 0) s.back_words.push_back(w);
        mark.found_back = 1;
    };
    for (int32_t p = 0; p < ci; ++p) {
        const int32_t w = words_i[static_cast<size_t>(p)];
        const uint32_t bit = 1u << p;
        s.marks.at(w).positions |= bit;
        for (int32_t t : index.tradeouts(w)) s.marks.at(t).positions |= bit;
        mark_back(w);
        for (int32_t f : index.traded_from(w)) mark_back(f);
        const auto seen = std::find(s.distinct.begin(), s.distinct.end(), w);
        if (seen == s.distinct.end()) {
            s.distinct.push_back(w);
            s.position.push_back(p);
            s.repeats.push_back(1);
        } else {
            ++s.repeats[static_cast<size_t>(seen - s.distinct.begin())];
        }
    }

    // Pairs of distinct words, and a word with itself when it fills two positions.
    const size_t d = s.distinct.size();
    auto is_pair = [&](size_t u, size_t v) { return u != v || s.repeats[u] >= 2; };
    size_t cheapest_u = 0;
    size_t cheapest_v = 0;
    int64_t best = -1;
    int64_t row_side = 0;  // the cost of going by the row's own positions
    for (size_t u = 0; u < d; ++u) {
        for (size_t v = u; v < d; ++v) {
            if (!is_pair(u, v)) continue;
            const int64_t cost = pair_cost(index, s.distinct[u], s.distinct[v]);
            row_side += cost;
            if (best < 0 || cost < best) {
                best = cost;
                cheapest_u = u;
                cheapest_v = v;
            }
        }
    }
    // A match also has two of its own positions found in the row: it holds two
    // of the words the row finds back, or one of them twice. When those words
    // are few, their pairs are the cheaper way in.
    const auto r = static_cast<int64_t>(s.back_words.size());
    const int64_t other_side = (r * (r - 1) + r) * kProbeCost;
    s.candidates.clear();
    if (other_side < row_side) {
        for (size_t u = 0; u < s.back_words.size(); ++u) {
            const int32_t x = s.back_words[u];
            for (size_t v = u + 1; v < s.back_words.size(); ++v) append_pairs(index, i, x, s.back_words[v], kTwoWords | kLonger, s);
            append_after(s.candidates, index.repeat_postings(x), i);
        }
    } else {
        for (size_t u = 0; u < d; ++u) {
            for (size_t v = u; v < d; ++v) {
                if (!is_pair(u, v)) continue;
                unsigned classes = kTwoWords | kLonger;
                if (ci == 3 && (u != cheapest_u || v != cheapest_v)) classes = kTwoWords;
                add_pair_candidates(index, i, s.distinct[u], s.position[u], s.distinct[v], s.position[v], classes, s);
            }
        }
    }
    // The pair index leaves out names of many distinct words; find them by word.
    if (index.has_long_names()) {
        for (int32_t w : s.distinct) {
            append_after(s.candidates, index.long_postings(w), i);
            for (int32_t t : index.tradeouts(w)) append_after(s.candidates, index.long_postings(t), i);
        }
    }
    settle_candidates(s);

    // Candidates are scattered over the names: fetch ahead to hide the misses.
    constexpr size_t kAhead = 8;
    const size_t m = s.candidates.size();
    for (size_t k = 0; k < std::min(m, kAhead); ++k) index.prefetch_start(s.candidates[k]);
    for (size_t k = 0; k < m; ++k) {
        if (k + 2 * kAhead < m) index.prefetch_start(s.candidates[k + 2 * kAhead]);
        if (k + kAhead < m) index.prefetch_words(s.candidates[k + kAhead]);
        const int32_t j = s.candidates[k];
        const auto words_j = index.words(j);
        const int32_t cj = static_cast<int32_t>(words_j.size());
        uint32_t found = 0;
        int32_t found_back = 0;
        for (int32_t v : words_j) {
            if (const RowMarks::Mark* mark = s.marks.find(v)) {
                found |= mark->positions;
                found_back += static_cast<int32_t>(mark->found_back);
            }
        }
        if (std::popcount(found) >= need(ci, cj) && found_back >= need(cj, ci)) s.accepted.push_back(j);
    }
}

void search_indexed(PairSearchContext& ctx, int32_t n_threads) noexcept {
    const auto start = std::chrono::steady_clock::now();
    std::optional<NameIndex> index = NameIndex::build(ctx.name_ptrs, ctx.n_names, *ctx.tt);
    ctx.index_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::vector<Scratch> scratch;
    try {
        if (index) scratch.resize(static_cast<size_t>(n_threads));
    } catch (const std::bad_alloc&) {
        index.reset();
    }
    if (!index) {
        record_error(ctx, SearchError::out_of_memory);
        return;
    }
    for_each_row(ctx, n_threads, [&](int32_t i, NamePairSet& set, int tid) {
        Scratch& s = scratch[static_cast<size_t>(tid)];
        try {
            match_row(*index, i, s);
        } catch (const std::bad_alloc&) {
            record_error(ctx, SearchError::out_of_memory);
            return;
        }
        append_row(ctx, set, i, s.accepted);
    });
    for (const Scratch& s : scratch) ctx.candidates += s.checked;
}

}  // namespace

NamePairSet::NamePairSet() noexcept
    : pairs_(static_cast<NamePair*>(std::malloc(sizeof(NamePair) * initial_capacity))) {
    if (pairs_) capacity_ = initial_capacity;
}

bool NamePairSet::append(NamePair pair, int64_t max_capacity) noexcept {
    if (count_ >= capacity_) {
        const int64_t new_capacity = 2 * static_cast<int64_t>(capacity_);
        if (new_capacity > max_capacity || new_capacity == 0) return false;
        void* grown = std::realloc(pairs_.get(), sizeof(NamePair) * static_cast<size_t>(new_capacity));
        if (grown == nullptr) return false;
        (void)pairs_.release();
        pairs_.reset(static_cast<NamePair*>(grown));
        capacity_ = static_cast<int32_t>(new_capacity);
    }
    pairs_.get()[count_++] = pair;
    return true;
}

std::vector<NamePairSet> make_thread_results(int32_t n) noexcept {
    std::vector<NamePairSet> sets;
    if (n < 0) return sets;
    try {
        sets.reserve(static_cast<size_t>(n));
        for (int32_t t = 0; t < n; ++t) {
            sets.emplace_back();
            if (!sets.back().ok()) return {};
        }
    } catch (const std::bad_alloc&) {
        return {};
    }
    return sets;
}

int32_t worker_count(int32_t requested, int32_t n_names) noexcept {
    if (team_lost_in_fork.load()) return 1;
    const int32_t limit = std::min({requested, n_names, omp_get_thread_limit(), kMaxWorkers});
    return std::max(limit, 1);
}

SearchError search_name_pairs(PairSearchContext& ctx, int32_t n_threads) noexcept {
    if (team_lost_in_fork.load()) n_threads = 1;
    note_team(n_threads);
    if (ctx.strategy == SearchStrategy::every_pair) {
        search_every_pair(ctx, n_threads);
    } else {
        search_indexed(ctx, n_threads);
    }
    return ctx.error.load();
}

}  // namespace talvik
