#include "talvik/find_pairs.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <optional>

#include "candidate_search.h"
#include "name_index.h"
#include "pair_score.h"
#include "team.h"
#include "talvik/union_find.h"

namespace talvik {
namespace {

// Rows are claimed a block at a time: few enough claims to cost nothing,
// small enough blocks to balance the team.
constexpr int32_t kBlockRows = 64;

constexpr float kNoFloor = std::numeric_limits<float>::infinity();

}  // namespace

// One search over a built index: the team, the blocks of rows it claims,
// and where the pairs go.
class SearchRun {
public:
    SearchRun(const SearchIndex& index, const SearchOptions& options) noexcept
        : index_(index), options_(options) {
        first_ = std::clamp(options.first_row, 0, index.size());
        last_ = std::clamp(options.last_row, first_, index.size());
        blocks_ = (last_ - first_ + kBlockRows - 1) / kBlockRows;
        workers_ = std::clamp(available_workers(options.threads), 1, std::max(blocks_, 1));
    }

    PairResult run() noexcept;

private:
    bool prepare(PairResult& result) noexcept;
    void prepare_bound();
    void work(int32_t worker) noexcept;
    void do_block(int32_t block, RowSearch& search, NamePairSet* set, int32_t worker) noexcept;
    bool scoring() const noexcept { return options_.scores || options_.min_score > -kNoFloor; }
    std::span<const int32_t> kept(int32_t i, std::span<const int32_t> matches, int32_t worker);
    bool deliver(int32_t i, std::span<const int32_t> matches, NamePairSet* set, int32_t worker) noexcept;
    bool stopping() const noexcept {
        return stop_.load(std::memory_order_relaxed) ||
               (options_.stop != nullptr && options_.stop->stop_requested());
    }
    void record_error(SearchError e) noexcept {
        SearchError expected = SearchError::none;
        error_.compare_exchange_strong(expected, e);
        stop_.store(true, std::memory_order_relaxed);
    }

    const SearchIndex& index_;
    const SearchOptions& options_;
    int32_t first_ = 0;
    int32_t last_ = 0;
    int32_t blocks_ = 0;
    int32_t workers_ = 1;
    std::atomic<int32_t> next_block_{0};
    std::atomic<bool> stop_{false};
    std::atomic<SearchError> error_{SearchError::none};
    std::atomic<int64_t> counted_{0};
    std::atomic<int64_t> stored_{0};
    std::vector<RowSearch> searches_;
    std::vector<float> weights_;       // every word's, when scoring
    std::vector<PairScorer> scorers_;  // one per worker, when scoring
    std::vector<float> caps_;          // every word's tradeout cap, with a floor
    FloorBound bound_;
    std::vector<std::vector<int32_t>> kept_;  // one per worker, when filtering
    std::vector<std::vector<float>> scores_;  // the scores of kept_, one per worker
    std::optional<UnionFind> groups_;
    PairStore* store_ = nullptr;
};

bool SearchRun::prepare(PairResult& result) noexcept {
    try {
        searches_.reserve(static_cast<size_t>(workers_));
        for (int32_t w = 0; w < workers_; ++w) searches_.emplace_back(index_.index(), index_.size());
        if (options_.output == PairOutput::groups) groups_.emplace(index_.size());
        if (scoring()) {
            weights_ = word_weights(index_.index());
            for (int32_t w = 0; w < workers_; ++w) scorers_.emplace_back(index_.index(), weights_);
            if (options_.min_score > -kNoFloor) prepare_bound();
        }
        if (scoring() || !options_.blocks.empty()) {
            kept_.resize(static_cast<size_t>(workers_));
            scores_.resize(static_cast<size_t>(workers_));
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (options_.output != PairOutput::store) return true;
    store_ = &result.store_;
    return store_->reset(workers_, blocks_, options_.scores);
}

// The floor, lowered by far more than a float sum of a few terms can err.
void SearchRun::prepare_bound() {
    caps_ = tradeout_caps(index_.index(), weights_);
    const float log2_names = weights_.back();
    const float slack = 1e-3f * (1.0f + log2_names + std::fabs(options_.min_score));
    bound_ = FloorBound{weights_, caps_, log2_names, options_.min_score - slack};
    for (RowSearch& s : searches_) s.bound_by(&bound_);
}

PairResult SearchRun::run() noexcept {
    PairResult result;
    if (!options_.blocks.empty() && options_.blocks.size() != static_cast<size_t>(index_.size())) {
        return PairResult::failure(SearchError::bad_options);
    }
    if (std::isnan(options_.min_score)) return PairResult::failure(SearchError::bad_options);  // keeps nothing, or all
    if (!prepare(result)) {
        result.store_.clear();
        result.error_ = SearchError::out_of_memory;
        return result;
    }
    auto body = [this](int32_t worker) { work(worker); };
    result.diagnostics_.workers = run_team(workers_, WorkerFn(body), options_.poll, stop_);
    for (const RowSearch& s : searches_) result.diagnostics_.candidates += s.checked();
    result.error_ = error_.load();
    if (result.error_ == SearchError::none && stopping()) result.error_ = SearchError::stopped;
    result.count_ = counted_.load();
    if (groups_ && result.ok()) {
        try {
            result.labels_ = groups_->labels();
        } catch (const std::bad_alloc&) {
            result.error_ = SearchError::out_of_memory;
        }
    }
    if (!result.ok()) {  // a failed search hands out nothing
        result.store_.clear();
        result.count_ = 0;
    }
    return result;
}

void SearchRun::work(int32_t worker) noexcept {
    RowSearch& search = searches_[static_cast<size_t>(worker)];
    NamePairSet* set = store_ != nullptr ? &store_->set(worker) : nullptr;
    for (int32_t b = next_block_.fetch_add(1); b < blocks_ && !stopping(); b = next_block_.fetch_add(1)) {
        PairRun* run = store_ != nullptr ? &store_->run(b) : nullptr;
        if (run != nullptr) *run = PairRun{worker, set->count(), set->count()};
        do_block(b, search, set, worker);
        if (run != nullptr) run->end = set->count();
    }
}

// The matches of row i that agree on the block and score at least the floor,
// their scores beside them.
std::span<const int32_t> SearchRun::kept(int32_t i, std::span<const int32_t> matches, int32_t worker) {
    std::vector<int32_t>& out = kept_[static_cast<size_t>(worker)];
    std::vector<float>& scores = scores_[static_cast<size_t>(worker)];
    out.clear();
    scores.clear();
    if (matches.empty()) return out;
    const auto blocks = options_.blocks;
    PairScorer* scorer = scorers_.empty() ? nullptr : &scorers_[static_cast<size_t>(worker)];
    if (scorer != nullptr) scorer->set_row(index_.index().words(i));
    for (int32_t j : matches) {
        if (!blocks.empty() && blocks[static_cast<size_t>(i)] != blocks[static_cast<size_t>(j)]) continue;
        float score = 0.0f;
        if (scorer != nullptr) {
            score = scorer->score(index_.index().words(j));
            if (!(score >= options_.min_score)) continue;
        }
        out.push_back(j);
        scores.push_back(score);
    }
    return out;
}

void SearchRun::do_block(int32_t block, RowSearch& search, NamePairSet* set, int32_t worker) noexcept {
    const int32_t begin = first_ + block * kBlockRows;
    const int32_t end = std::min(last_, begin + kBlockRows);
    int64_t found = 0;
    int32_t i = begin;
    for (; i < end && !stopping(); ++i) {
        std::span<const int32_t> matches;
        try {
            matches = search.match(i, options_.min_second);
        } catch (const std::bad_alloc&) {
            record_error(SearchError::out_of_memory);
            break;
        }
        try {
            if (!kept_.empty()) matches = kept(i, matches, worker);
        } catch (const std::bad_alloc&) {
            record_error(SearchError::out_of_memory);
            break;
        }
        if (!deliver(i, matches, set, worker)) break;
        found += static_cast<int64_t>(matches.size());
    }
    counted_.fetch_add(found, std::memory_order_relaxed);
    if (options_.progress != nullptr) options_.progress->add(i - begin);
}

bool SearchRun::deliver(int32_t i, std::span<const int32_t> matches, NamePairSet* set, int32_t worker) noexcept {
    if (set != nullptr) {
        const auto n = static_cast<int64_t>(matches.size());
        if (n > 0 && stored_.fetch_add(n, std::memory_order_relaxed) + n > options_.max_pairs) {
            record_error(SearchError::too_many_pairs);
            return false;
        }
        const float* scores = options_.scores ? scores_[static_cast<size_t>(worker)].data() : nullptr;
        for (size_t k = 0; k < matches.size(); ++k) {
            const NamePair pair{i, matches[k]};
            const bool added = scores != nullptr ? set->append(pair, scores[k], options_.max_pairs_per_set)
                                                 : set->append(pair, options_.max_pairs_per_set);
            if (!added) {
                record_error(SearchError::too_many_pairs);
                return false;
            }
        }
    } else if (groups_) {
        // The matches are scattered over the parents: fetch ahead to hide the misses.
        constexpr size_t kAhead = 8;
        for (size_t k = 0; k < matches.size(); ++k) {
            if (k + kAhead < matches.size()) groups_->prefetch(matches[k + kAhead]);
            groups_->join(i, matches[k]);
        }
    }
    return true;
}

SearchIndex::SearchIndex(Key) noexcept {}
SearchIndex::~SearchIndex() = default;
SearchIndex::SearchIndex(SearchIndex&&) noexcept = default;
SearchIndex& SearchIndex::operator=(SearchIndex&&) noexcept = default;

int32_t SearchIndex::size() const noexcept { return static_cast<int32_t>(names_.size()); }

SearchIndex::Built SearchIndex::build(std::span<const std::string_view> names, const TradeoutTable& table,
                                      int32_t threads, const StopToken* stop, const Poll* poll) noexcept {
    Built built;
    if (names.size() >= static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        built.error = SearchError::out_of_memory;  // beyond what a row index can count
        return built;
    }
    try {
        built.index = std::make_unique<SearchIndex>(Key{});
    } catch (const std::bad_alloc&) {
        built.error = SearchError::out_of_memory;
        return built;
    }
    NameIndexOptions options;
    options.workers = available_workers(threads);
    options.stop = stop;
    options.poll = poll;
    NameIndexBuilt words = NameIndex::build(names.data(), static_cast<int32_t>(names.size()), table, options);
    if (!words.index) {
        built.index.reset();
        built.error = words.error;
        return built;
    }
    built.index->index_ = std::move(words.index);
    built.index->names_ = NameTexts(names);
    built.index->table_ = &table;
    return built;
}

PairResult find_pairs(const SearchIndex& index, const SearchOptions& options) noexcept {
    SearchRun run(index, options);
    return run.run();
}

PairResult find_pairs(std::span<const std::string_view> names, const TradeoutTable& table,
                      const SearchOptions& options) noexcept {
    SearchIndex::Built built = SearchIndex::build(names, table, options.threads, options.stop, options.poll);
    if (!built.index) return PairResult::failure(built.error);
    return find_pairs(*built.index, options);
}

int32_t available_workers(int32_t requested) noexcept {
    return std::clamp(requested, 1, processors_available());
}

}  // namespace talvik
