#include "pair_search.h"

#include <omp.h>
#include <pthread.h>

#include <algorithm>
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

void search_every_pair(PairSearchContext& ctx, int32_t n_threads) noexcept {
    const TradeoutTable& tt = *ctx.tt;
    const std::string_view* names = ctx.name_ptrs;
    const int32_t n = ctx.n_names;
#pragma omp parallel num_threads(n_threads)
    {
#pragma omp for schedule(nonmonotonic : dynamic, 1)
        for (int32_t i = 0; i < n; ++i) {
            if (stopped(ctx)) continue;
            NamePairSet& set = ctx.thread_results[omp_get_thread_num()];
            for (int32_t j = i + 1; j < n; ++j) {
                if (!validate_match(names[i], names[j], tt)) continue;
                if (!set.append(NamePair{i, j}, ctx.max_pairs_per_set)) {
                    record_error(ctx, SearchError::pair_set_full);
                    break;
                }
            }
            std::atomic_thread_fence(std::memory_order_seq_cst);
        }
    }
}

// One worker's working space for the indexed search, kept across its rows.
// Nothing in it grows with the number of names, so a large team stays cheap.
struct Scratch {
    std::vector<int64_t> cost;      // per position of the row's name
    std::vector<int32_t> order;     // positions of the row's name, cheapest last but one
    std::vector<int32_t> touched;   // candidate names of this row, increasing
    std::vector<int32_t> accepted;  // names that match the row's name, increasing
};

bool contains(std::span<const int32_t> words, int32_t w) noexcept {
    return std::find(words.begin(), words.end(), w) != words.end();
}

// How many positions of `words` are found in `other`: the word itself or one
// of its tradeouts (looked up once, when the index was built). Stops once
// `need` is reached or out of reach.
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

// The names after `i` that match it, in increasing order, into s.accepted.
// Every match has at least two positions of name i found, so it holds the word
// (or a tradeout) of at least one position other than the costliest one: the
// candidates are the names in those positions' postings. Each candidate then
// gets both passes of the rule, exactly.
void match_row(const NameIndex& index, int32_t i, Scratch& s) {
    s.accepted.clear();
    const auto words_i = index.words(i);
    const int32_t ci = static_cast<int32_t>(words_i.size());
    if (ci < 2) return;

    s.cost.resize(static_cast<size_t>(ci));
    s.order.resize(static_cast<size_t>(ci));
    for (int32_t p = 0; p < ci; ++p) {
        const int32_t w = words_i[static_cast<size_t>(p)];
        int64_t cost = static_cast<int64_t>(index.postings(w).size());
        for (int32_t t : index.tradeouts(w)) cost += static_cast<int64_t>(index.postings(t).size());
        s.cost[static_cast<size_t>(p)] = cost;
        s.order[static_cast<size_t>(p)] = p;
    }
    auto cheaper = [&](int32_t a, int32_t b) { return s.cost[static_cast<size_t>(a)] < s.cost[static_cast<size_t>(b)]; };
    std::nth_element(s.order.begin(), s.order.end() - 1, s.order.end(), cheaper);

    s.touched.clear();
    for (auto p = s.order.begin(); p != s.order.end() - 1; ++p) {
        const int32_t w = words_i[static_cast<size_t>(*p)];
        const auto tradeouts = index.tradeouts(w);
        for (size_t k = 0; k <= tradeouts.size(); ++k) {
            const auto postings = index.postings(k == 0 ? w : tradeouts[k - 1]);
            // Postings are sorted: merging keeps the candidates in order.
            const auto middle = static_cast<std::ptrdiff_t>(s.touched.size());
            s.touched.insert(s.touched.end(), std::upper_bound(postings.begin(), postings.end(), i),
                             postings.end());
            std::inplace_merge(s.touched.begin(), s.touched.begin() + middle, s.touched.end());
        }
    }
    s.touched.erase(std::unique(s.touched.begin(), s.touched.end()), s.touched.end());

    for (int32_t j : s.touched) {
        const auto words_j = index.words(j);
        const int32_t cj = static_cast<int32_t>(words_j.size());
        if (cj < 2) continue;
        const int32_t need_i = need(ci, cj);
        const int32_t need_j = need(cj, ci);
        if (count_found(index, words_i, words_j, need_i) >= need_i &&
            count_found(index, words_j, words_i, need_j) >= need_j) {
            s.accepted.push_back(j);
        }
    }
}

void search_indexed(PairSearchContext& ctx, int32_t n_threads) noexcept {
    const int32_t n = ctx.n_names;
    std::optional<NameIndex> index = NameIndex::build(ctx.name_ptrs, n, *ctx.tt);
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

#pragma omp parallel num_threads(n_threads)
    {
#pragma omp for schedule(nonmonotonic : dynamic, 1)
        for (int32_t i = 0; i < n; ++i) {
            if (stopped(ctx)) continue;
            const int tid = omp_get_thread_num();
            Scratch& s = scratch[static_cast<size_t>(tid)];
            NamePairSet& set = ctx.thread_results[tid];
            try {
                match_row(*index, i, s);
            } catch (const std::bad_alloc&) {
                record_error(ctx, SearchError::out_of_memory);
                continue;
            }
            for (int32_t j : s.accepted) {
                if (!set.append(NamePair{i, j}, ctx.max_pairs_per_set)) {
                    record_error(ctx, SearchError::pair_set_full);
                    break;
                }
            }
            std::atomic_thread_fence(std::memory_order_seq_cst);
        }
    }
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
