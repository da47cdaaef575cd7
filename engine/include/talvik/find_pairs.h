// The engine's one entry point: every pair (i, j), i < j, of a list of names
// that the matching rule accepts, in row order (i, then j), whatever the
// number of workers. Every caller goes through find_pairs; nothing outside
// the engine sees its team, its per-worker sets or its atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "talvik/pair_store.h"
#include "talvik/tradeout_table.h"

namespace talvik {

class NameIndex;

enum class SearchError : int32_t {
    none = 0,
    too_many_pairs,  // past the search's budget of pairs, or a worker's set could not grow
    out_of_memory,  // the index, the working space or the result could not be made
    stopped,        // the stop token was raised, or the poll asked to stop
    bad_options,    // options that do not fit the index (blocks of another length), or a NaN min_score
};

// Raised by any thread to end a search early; workers test it between rows.
class StopToken {
public:
    void request_stop() noexcept { flag_.store(true, std::memory_order_relaxed); }
    bool stop_requested() const noexcept { return flag_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> flag_{false};
};

// Rows done so far, readable from any thread while the search runs.
class Progress {
public:
    int64_t rows_done() const noexcept { return rows_.load(std::memory_order_relaxed); }
    void add(int64_t rows) noexcept { rows_.fetch_add(rows, std::memory_order_relaxed); }
    void reset() noexcept { rows_.store(0, std::memory_order_relaxed); }

private:
    std::atomic<int64_t> rows_{0};
};

// Called on the calling thread every `interval_ms` while the workers run, and
// once as they finish when no interval passed (the caller then does no rows
// itself). Returning false stops the search; at the end, it is reported as
// stopped all the same.
struct Poll {
    bool (*keep_going)(void* context) = nullptr;
    void* context = nullptr;
    int32_t interval_ms = 50;
};

// What the search does with each accepted pair.
enum class PairOutput {
    store,   // keep them, in row order
    count,   // count them only
    groups,  // join them in connected components, nothing stored
};

struct SearchOptions {
    // Workers asked for; capped at the processors this process may run on and
    // at one per block of rows. Fewer workers never change the result.
    int32_t threads = 1;
    // Only the pairs whose first index lies in [first_row, last_row); the
    // index is still built over every name. Clipped to the names.
    int32_t first_row = 0;
    int32_t last_row = std::numeric_limits<int32_t>::max();
    // Only the pairs whose second index is at least this (a link between two
    // lists laid end to end).
    int32_t min_second = 0;
    PairOutput output = PairOutput::store;
    const StopToken* stop = nullptr;
    Progress* progress = nullptr;
    const Poll* poll = nullptr;
    // The most pairs one worker's set may hold (tests lower it).
    int64_t max_pairs_per_set = NamePairSet::default_max_capacity;
    // The budget: the most pairs the whole search may store. Past it the
    // search fails with too_many_pairs at once, instead of growing towards a
    // result that cannot be used.
    int64_t max_pairs = std::numeric_limits<int64_t>::max();
    // Keep a score beside each stored pair (see talvik/pair_score.h).
    bool scores = false;
    // Only the pairs scoring at least this, whatever the output.
    float min_score = -std::numeric_limits<float>::infinity();
    // Empty, or one code per indexed name: pairs whose codes differ are never
    // produced (a date of birth or a postcode that must agree).
    std::span<const int64_t> blocks{};
};

struct SearchDiagnostics {
    int64_t candidates = 0;  // names checked exactly against the rule
    int32_t workers = 0;     // the team that ran
};

// What one search found. Move-only; owns its pairs.
class PairResult {
public:
    PairResult() = default;
    PairResult(PairResult&&) noexcept = default;
    PairResult& operator=(PairResult&&) noexcept = default;

    static PairResult failure(SearchError error) noexcept {
        PairResult r;
        r.error_ = error;
        return r;
    }

    SearchError error() const noexcept { return error_; }
    bool ok() const noexcept { return error_ == SearchError::none; }
    // Pairs found (stored or counted).
    int64_t count() const noexcept { return count_; }
    const SearchDiagnostics& diagnostics() const noexcept { return diagnostics_; }

    // f(NamePair) for every stored pair, in row order.
    template <class F>
    void for_each(F&& f) const {
        store_.for_each(f);
    }
    // Writes the stored pairs in row order into `out`, which holds count().
    void copy_to(NamePair* out) const noexcept { store_.copy_to(out); }
    // Whether a score was kept beside each stored pair.
    bool has_scores() const noexcept { return store_.has_scores(); }
    // Writes the scores in the order of copy_to into `out`, which holds count().
    void copy_scores_to(float* out) const noexcept { store_.copy_scores_to(out); }

    // With PairOutput::groups: per name, the smallest index of its connected
    // component in the match graph (its own index when it matched nothing).
    const std::vector<int32_t>& labels() const noexcept { return labels_; }

private:
    friend class SearchRun;
    SearchError error_ = SearchError::none;
    int64_t count_ = 0;
    SearchDiagnostics diagnostics_;
    PairStore store_;
    std::vector<int32_t> labels_;
};

// The names' bytes an index borrows: the caller's views, one per name, or
// the bytes and offsets of a saved file.
class NameTexts {
public:
    NameTexts() = default;
    explicit NameTexts(std::span<const std::string_view> views) noexcept
        : views_(views.data()), size_(views.size()) {}
    // Name i is bytes[start[i], start[i + 1]); `start` holds count + 1 offsets.
    NameTexts(const char* bytes, const uint64_t* start, size_t count) noexcept
        : bytes_(bytes), start_(start), size_(count) {}

    size_t size() const noexcept { return size_; }
    std::string_view operator[](size_t i) const noexcept {
        if (views_ != nullptr) return views_[i];
        return {bytes_ + start_[i], static_cast<size_t>(start_[i + 1] - start_[i])};
    }

private:
    const std::string_view* views_ = nullptr;
    const char* bytes_ = nullptr;
    const uint64_t* start_ = nullptr;
    size_t size_ = 0;
};

// The names cut into words and indexed once; reusable by many searches, from
// many threads at once. Borrows the names' bytes and the table, which must
// outlive it.
class SearchIndex {
public:
    ~SearchIndex();
    SearchIndex(SearchIndex&&) noexcept;
    SearchIndex& operator=(SearchIndex&&) noexcept;

    struct Built;
    // Builds on a team of `threads` (capped as for a search). Fails with
    // out_of_memory, or with stopped when the token or the poll says so.
    static Built build(std::span<const std::string_view> names, const TradeoutTable& table, int32_t threads,
                       const StopToken* stop = nullptr, const Poll* poll = nullptr) noexcept;

    int32_t size() const noexcept;
    const NameIndex& index() const noexcept { return *index_; }
    const NameTexts& names() const noexcept { return names_; }
    const TradeoutTable& table() const noexcept { return *table_; }

private:
    struct Key {};  // only build() and a saved index make one
    friend class SavedIndex;

public:
    explicit SearchIndex(Key) noexcept;

private:
    std::unique_ptr<NameIndex> index_;
    NameTexts names_;
    const TradeoutTable* table_ = nullptr;
};

struct SearchIndex::Built {
    std::unique_ptr<SearchIndex> index;  // null on failure
    SearchError error = SearchError::none;
};

// Searches a built index.
PairResult find_pairs(const SearchIndex& index, const SearchOptions& options) noexcept;

// Builds the index and searches it once.
PairResult find_pairs(std::span<const std::string_view> names, const TradeoutTable& table,
                      const SearchOptions& options) noexcept;

// The team a search would get for `requested` workers: at least one, at most
// the processors available to this process.
int32_t available_workers(int32_t requested) noexcept;

}  // namespace talvik
