#include "talvik/union_find.h"

namespace talvik {

UnionFind::UnionFind(int32_t n) : parent_(std::make_unique<std::atomic<int32_t>[]>(static_cast<size_t>(n))), n_(n) {
    for (int32_t k = 0; k < n; ++k) parent_[static_cast<size_t>(k)].store(k, std::memory_order_relaxed);
}

// Path halving: each step points x at its grandparent, which is never a
// wrong answer since both lie in x's component.
int32_t UnionFind::find(int32_t x) noexcept {
    for (;;) {
        int32_t p = parent_[static_cast<size_t>(x)].load(std::memory_order_acquire);
        if (p == x) return x;
        const int32_t g = parent_[static_cast<size_t>(p)].load(std::memory_order_acquire);
        if (g != p) parent_[static_cast<size_t>(x)].compare_exchange_weak(p, g, std::memory_order_acq_rel);
        x = g;
    }
}

void UnionFind::join(int32_t a, int32_t b) noexcept {
    for (;;) {
        int32_t ra = find(a);
        int32_t rb = find(b);
        if (ra == rb) return;
        if (ra < rb) std::swap(ra, rb);  // link the larger root under the smaller
        int32_t expected = ra;
        if (parent_[static_cast<size_t>(ra)].compare_exchange_strong(expected, rb, std::memory_order_acq_rel)) {
            return;
        }
    }
}

std::vector<int32_t> UnionFind::labels() {
    std::vector<int32_t> out(static_cast<size_t>(n_));
    for (int32_t k = 0; k < n_; ++k) out[static_cast<size_t>(k)] = find(k);
    return out;
}

}  // namespace talvik
