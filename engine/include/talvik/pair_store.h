// Where a search keeps its pairs: one growable set per worker, and a table
// of runs that says, block of rows by block of rows, where each block's pairs
// went, so that they can be read back in row order.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

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
    const NamePair& operator[](int32_t k) const noexcept { return pairs_.get()[k]; }
    const NamePair* data() const noexcept { return pairs_.get(); }
    // A score beside each pair, once keep_scores() has succeeded.
    const float* scores() const noexcept { return scores_.get(); }

    // Makes room for a score beside every pair from now on; false when
    // memory runs out. Call while the set is empty.
    bool keep_scores() noexcept;

    // False when the set is full and cannot grow (within `max_capacity`).
    bool append(NamePair pair, int64_t max_capacity = default_max_capacity) noexcept {
        if (count_ >= capacity_ && !grow(max_capacity)) return false;
        pairs_.get()[count_++] = pair;
        return true;
    }
    bool append(NamePair pair, float score, int64_t max_capacity) noexcept {
        if (count_ >= capacity_ && !grow(max_capacity)) return false;
        scores_.get()[count_] = score;
        pairs_.get()[count_++] = pair;
        return true;
    }

private:
    bool grow(int64_t max_capacity) noexcept;

    struct Free {
        void operator()(void* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<NamePair, Free> pairs_;
    std::unique_ptr<float, Free> scores_;
    int32_t count_ = 0;
    int32_t capacity_ = 0;
};

// The pairs of a block of consecutive rows: sets[worker][begin, end).
struct PairRun {
    int32_t worker = 0;
    int32_t begin = 0;
    int32_t end = 0;
};

class PairStore {
public:
    // Sets for `workers` workers and runs for `blocks` blocks, each pair with
    // its score when `scores`; false when memory runs out.
    bool reset(int32_t workers, int32_t blocks, bool scores = false) noexcept;
    bool has_scores() const noexcept { return scores_; }

    NamePairSet& set(int32_t worker) noexcept { return sets_[static_cast<size_t>(worker)]; }
    PairRun& run(int32_t block) noexcept { return runs_[static_cast<size_t>(block)]; }

    template <class F>
    void for_each(F&& f) const {
        for (const PairRun& run : runs_) {
            const NamePairSet& set = sets_[static_cast<size_t>(run.worker)];
            for (int32_t k = run.begin; k < run.end; ++k) f(set[k]);
        }
    }

    void copy_to(NamePair* out) const noexcept {
        for (const PairRun& run : runs_) {
            const size_t n = static_cast<size_t>(run.end - run.begin);
            if (n == 0) continue;
            std::memcpy(out, sets_[static_cast<size_t>(run.worker)].data() + run.begin, n * sizeof(NamePair));
            out += n;
        }
    }

    // Writes the scores in the order of copy_to; the store has scores.
    void copy_scores_to(float* out) const noexcept {
        for (const PairRun& run : runs_) {
            const size_t n = static_cast<size_t>(run.end - run.begin);
            if (n == 0) continue;
            std::memcpy(out, sets_[static_cast<size_t>(run.worker)].scores() + run.begin, n * sizeof(float));
            out += n;
        }
    }

    void clear() noexcept {
        sets_.clear();
        runs_.clear();
        scores_ = false;
    }

private:
    bool scores_ = false;
    std::vector<NamePairSet> sets_;
    std::vector<PairRun> runs_;
};

}  // namespace talvik
