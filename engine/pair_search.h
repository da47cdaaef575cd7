// The parallel pair search: every pair (i, j), i < j, of an array of names that
// validate_match accepts, found on an OpenMP team; each worker keeps its own
// set, and a table of runs puts the pairs back in row order.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "tradeout_table.h"

namespace talvik {

// An accepted pair, as indices into the name array: name1 < name2 always.
struct NamePair {
    int32_t name1;
    int32_t name2;
};

// One worker's growable array of pairs, in the order they were found.
// Starts with room for 1000 pairs and doubles; growth fails, leaving the set
// as it was, when memory runs out or the doubled capacity passes the limit.
class NamePairSet {
public:
    static constexpr int32_t initial_capacity = 1000;
    // 1000 * 2^21: the largest doubling that stays in the signed 32-bit range.
    static constexpr int64_t default_max_capacity = 2'097'152'000;

    // A set with storage for `initial_capacity` pairs; check ok() afterwards.
    NamePairSet() noexcept;

    bool ok() const noexcept { return pairs_ != nullptr; }
    int32_t count() const noexcept { return count_; }
    int32_t capacity() const noexcept { return capacity_; }
    const NamePair* pairs() const noexcept { return pairs_.get(); }
    const NamePair& operator[](int32_t k) const noexcept { return pairs_.get()[k]; }

    // False when the set is full and cannot grow (within `max_capacity`).
    bool append(NamePair pair, int64_t max_capacity = default_max_capacity) noexcept;

private:
    struct Free {
        void operator()(void* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<NamePair, Free> pairs_;
    int32_t count_ = 0;
    int32_t capacity_ = 0;
};

enum class SearchError : int32_t {
    none = 0,
    pair_set_full,  // a worker's set could not grow
    out_of_memory,  // the word index or a worker's scratch space could not be made
};

// Both find the same pairs in the same order.
enum class SearchStrategy {
    // Each row visits only the names that hold words (or tradeouts) of two of
    // its positions, through indexes of words and of pairs of words.
    indexed,
    // Each row offers every later name to validate_match; for tests and benchmarks.
    every_pair,
};

// The pairs of a block of consecutive rows: thread_results[worker][begin, end).
struct PairRun {
    int32_t worker = 0;
    int32_t begin = 0;
    int32_t end = 0;
};

// What the workers of one search share.
struct PairSearchContext {
    static constexpr int32_t running = 0;
    static constexpr int32_t stopped = 4;

    const TradeoutTable* tt = nullptr;
    const std::string_view* name_ptrs = nullptr;  // n_names encoded names
    int32_t n_names = 0;
    NamePairSet* thread_results = nullptr;        // one set per worker
    int64_t max_pairs_per_set = NamePairSet::default_max_capacity;
    SearchStrategy strategy = SearchStrategy::indexed;

    // The first error of the search; later ones are dropped.
    std::atomic<SearchError> error{SearchError::none};
    // Workers read this at the start of every row and skip the row once stopped.
    std::atomic<int32_t> status{running};
    // Rows skipped because the search had stopped (diagnostics; off the hot path).
    std::atomic<int32_t> rows_skipped{0};
    // Candidates checked against the rule (diagnostics, counted per worker
    // and added up once the team has finished).
    int64_t candidates = 0;
    // Seconds spent building the word and pair indexes (diagnostics).
    double index_seconds = 0;
    // Set by the search: one run per block of rows, in row order.
    std::vector<PairRun> runs;
};

// Calls f(pair) for every pair found, by increasing row, then increasing
// second index, whatever the number of workers.
template <class F>
void for_each_pair_in_row_order(const PairSearchContext& ctx, F&& f) {
    for (const PairRun& run : ctx.runs) {
        const NamePairSet& set = ctx.thread_results[run.worker];
        for (int32_t k = run.begin; k < run.end; ++k) f(set[k]);
    }
}

// Sets for `n` workers, each empty with room for 1000 pairs; empty on failure.
std::vector<NamePairSet> make_thread_results(int32_t n) noexcept;

// The team size for a search: the request, but no more than one worker per
// name, no more than the OpenMP runtime allows, and never fewer than one.
// One in a process forked after a team of several had run: the runtime
// cannot start threads there.
int32_t worker_count(int32_t requested, int32_t n_names) noexcept;

// Runs the search on a team of `n_threads` workers, the caller being worker 0
// (the caller alone in a process forked after a team of several had run).
// Needs n_threads >= 1 and one set per worker in ctx.thread_results.
// Blocks of rows are claimed one at a time; each worker's set holds its pairs
// by increasing row, then increasing second index, and ctx.runs says where
// each block's pairs are.
// Returns the first error recorded (SearchError::none when all went well).
SearchError search_name_pairs(PairSearchContext& ctx, int32_t n_threads) noexcept;

}  // namespace talvik
