// Loops shared out over a team: every worker claims the next chunk from one
// counter, so which chunks exist, and what each writes, does not depend on
// how many workers ran. A build runs several such loops one after another;
// once one fails or is stopped, the later ones do nothing.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>

#include "talvik/find_pairs.h"
#include "team.h"

namespace talvik {

class ParallelFor {
public:
    ParallelFor(int32_t workers, const StopToken* stop, const Poll* poll) noexcept
        : workers_(std::max(workers, 1)), stop_(stop), poll_(poll) {}

    ParallelFor(const ParallelFor&) = delete;
    ParallelFor& operator=(const ParallelFor&) = delete;

    // The team asked for: every worker number a body sees is below it.
    int32_t workers() const noexcept { return workers_; }

    // Runs body(chunk, worker) for every chunk in [0, chunks), unless the
    // loop is stopped or a body fails; false then, and error() says why. A
    // body may throw std::bad_alloc or std::length_error (out of memory).
    template <class Body>
    bool run(size_t chunks, Body&& body) noexcept {
        if (!ok()) return false;
        std::atomic<size_t> next{0};
        auto work = [&](int32_t worker) {
            for (size_t c = next.fetch_add(1, std::memory_order_relaxed); c < chunks && !stopping();
                 c = next.fetch_add(1, std::memory_order_relaxed)) {
                try {
                    body(c, worker);
                } catch (const std::bad_alloc&) {
                    fail(SearchError::out_of_memory);
                } catch (const std::length_error&) {
                    fail(SearchError::out_of_memory);
                }
            }
        };
        const auto team = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(workers_), std::max<size_t>(chunks, 1)));
        run_team(team, WorkerFn(work), poll_, raised_);
        return ok();
    }

    // The first failure, or stopped once the token or the poll said so.
    SearchError error() const noexcept {
        const SearchError e = error_.load(std::memory_order_relaxed);
        if (e != SearchError::none) return e;
        return stopping() ? SearchError::stopped : SearchError::none;
    }
    bool ok() const noexcept { return error() == SearchError::none; }

    void fail(SearchError e) noexcept {
        SearchError expected = SearchError::none;
        error_.compare_exchange_strong(expected, e);
        raised_.store(true, std::memory_order_relaxed);
    }

    // Whether the loop is being given up: a body with a long inner loop may
    // ask between steps, to stop as soon as a chunk boundary would.
    bool stopping() const noexcept {
        return raised_.load(std::memory_order_relaxed) || (stop_ != nullptr && stop_->stop_requested());
    }

private:

    const int32_t workers_;
    const StopToken* const stop_;
    const Poll* const poll_;
    std::atomic<bool> raised_{false};  // a failure, or the poll asked to stop
    std::atomic<SearchError> error_{SearchError::none};
};

// [first, last) of part `k` when `count` items are cut into `parts` nearly
// equal parts.
inline size_t part_begin(size_t count, size_t parts, size_t k) noexcept {
    return static_cast<size_t>(static_cast<unsigned __int128>(count) * k / parts);
}

}  // namespace talvik
