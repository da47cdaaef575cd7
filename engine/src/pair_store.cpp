#include "talvik/pair_store.h"

#include <new>

namespace talvik {

NamePairSet::NamePairSet() noexcept
    : pairs_(static_cast<NamePair*>(std::malloc(sizeof(NamePair) * initial_capacity))) {
    if (pairs_) capacity_ = initial_capacity;
}

bool NamePairSet::keep_scores() noexcept {
    scores_.reset(static_cast<float*>(std::malloc(sizeof(float) * static_cast<size_t>(capacity_ > 0 ? capacity_ : 1))));
    return scores_ != nullptr;
}

bool NamePairSet::grow(int64_t max_capacity) noexcept {
    const int64_t new_capacity = 2 * static_cast<int64_t>(capacity_);
    if (new_capacity > max_capacity || new_capacity == 0) return false;
    if (scores_) {  // the scores first: a failure then leaves both as they were
        void* s = std::realloc(scores_.get(), sizeof(float) * static_cast<size_t>(new_capacity));
        if (s == nullptr) return false;
        (void)scores_.release();
        scores_.reset(static_cast<float*>(s));
    }
    void* grown = std::realloc(pairs_.get(), sizeof(NamePair) * static_cast<size_t>(new_capacity));
    if (grown == nullptr) return false;
    (void)pairs_.release();
    pairs_.reset(static_cast<NamePair*>(grown));
    capacity_ = static_cast<int32_t>(new_capacity);
    return true;
}

bool PairStore::reset(int32_t workers, int32_t blocks, bool scores) noexcept {
    clear();
    scores_ = scores;
    if (workers < 0 || blocks < 0) return false;
    try {
        runs_.assign(static_cast<size_t>(blocks), PairRun{});
        sets_.reserve(static_cast<size_t>(workers));
        for (int32_t t = 0; t < workers; ++t) {
            sets_.emplace_back();
            if (!sets_.back().ok() || (scores && !sets_.back().keep_scores())) {
                clear();
                return false;
            }
        }
    } catch (const std::bad_alloc&) {
        clear();
        return false;
    }
    return true;
}

}  // namespace talvik
