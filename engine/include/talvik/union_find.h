// Connected components joined from many threads at once, without locks.
// A root is always linked under the smaller root, so every component's root
// is its smallest index, whatever the order of the joins.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace talvik {

class UnionFind {
public:
    // Throws std::bad_alloc.
    explicit UnionFind(int32_t n);

    int32_t find(int32_t x) noexcept;
    void join(int32_t a, int32_t b) noexcept;
    // Hints that x's parent will be read soon.
    void prefetch(int32_t x) const noexcept { __builtin_prefetch(&parent_[static_cast<size_t>(x)]); }
    // Per element, the smallest index of its component. Call once no join runs.
    std::vector<int32_t> labels();

private:
    std::unique_ptr<std::atomic<int32_t>[]> parent_;
    int32_t n_;
};

}  // namespace talvik
