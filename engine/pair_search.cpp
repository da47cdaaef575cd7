#include "pair_search.h"

#include <omp.h>

#include <algorithm>
#include <new>

#include "match_validation.h"

namespace talvik {
namespace {

// Past this a team only adds start-up cost and risks the runtime failing to
// create threads, which it treats as fatal.
constexpr int32_t kMaxWorkers = 1024;

void record_error(PairSearchContext& ctx, SearchError e) noexcept {
    SearchError expected = SearchError::none;
    ctx.error.compare_exchange_strong(expected, e);
    ctx.status.store(PairSearchContext::stopped);
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
    const int32_t limit = std::min({requested, n_names, omp_get_thread_limit(), kMaxWorkers});
    return std::max(limit, 1);
}

SearchError search_name_pairs(PairSearchContext& ctx, int32_t n_threads) noexcept {
    const TradeoutTable& tt = *ctx.tt;
    const std::string_view* names = ctx.name_ptrs;
    const int32_t n = ctx.n_names;

#pragma omp parallel num_threads(n_threads)
    {
        // Rows are claimed one at a time; early rows are the longest.
#pragma omp for schedule(nonmonotonic : dynamic, 1)
        for (int32_t i = 0; i < n; ++i) {
            if (ctx.status.load(std::memory_order_relaxed) > 1) {
                ctx.rows_skipped.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
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
    return ctx.error.load();
}

}  // namespace talvik
