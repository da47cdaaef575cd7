// How many rows to search at a time so that a piece holds about a given
// number of pairs, learnt from the pairs per row seen so far.
#pragma once

#include <algorithm>
#include <cstdint>

namespace talvik::binding {

class PiecePlan {
public:
    // A first guess of a sixty-fourth of the `rows` to run.
    PiecePlan(int64_t rows, int64_t target_pairs) noexcept
        : target_(target_pairs), next_(std::max<int64_t>(16384, rows / 64)) {}

    int32_t end_of_piece(int32_t row, int32_t last) const noexcept {
        return static_cast<int32_t>(std::min<int64_t>(last, row + next_));
    }

    // After a piece of `rows` rows gave `pairs` pairs; a piece grows at most
    // sixteenfold at a time, since pairs per row drift along the list.
    void record(int64_t rows, int64_t pairs) noexcept {
        rows_ += rows;
        pairs_ += pairs;
        const int64_t wanted = pairs_ == 0 ? 16 * rows : target_ * rows_ / pairs_;
        next_ = std::clamp<int64_t>(wanted, 1, std::max<int64_t>(16 * rows, 1024));
    }

    // After a piece of `rows` rows held too many pairs: a quarter as many next.
    void shrink(int64_t rows) noexcept { next_ = std::max<int64_t>(1, rows / 4); }

private:
    int64_t target_;
    int64_t next_;
    int64_t rows_ = 0;
    int64_t pairs_ = 0;
};

}  // namespace talvik::binding
