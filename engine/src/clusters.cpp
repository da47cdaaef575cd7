#include "talvik/clusters.h"

#include <algorithm>
#include <new>
#include <numeric>

namespace talvik {
namespace {

// A plain union-find whose root is always the smallest index.
class Forest {
public:
    void assign(size_t n) {
        parent_.resize(n);
        std::iota(parent_.begin(), parent_.end(), 0);
    }
    int32_t find(int32_t x) noexcept {
        while (parent_[static_cast<size_t>(x)] != x) {
            int32_t& p = parent_[static_cast<size_t>(x)];
            p = parent_[static_cast<size_t>(p)];  // halve the path
            x = p;
        }
        return x;
    }
    // Joins the sets of a and b; returns the root of the union.
    int32_t join(int32_t a, int32_t b) noexcept {
        a = find(a);
        b = find(b);
        if (a > b) std::swap(a, b);
        parent_[static_cast<size_t>(b)] = a;
        return a;
    }

private:
    std::vector<int32_t> parent_;
};

// What one level would make of the clusters it touches.
struct Part {
    int64_t size = 0;
    bool stuck = false;   // holds a closed cluster
    bool single = true;   // made of single names only
};

class Clustering {
public:
    Clustering(int32_t n, int32_t max_size) : max_size_(max_size), size_(static_cast<size_t>(n), 1),
          closed_(static_cast<size_t>(n), 0), local_(static_cast<size_t>(n), -1) {
        forest_.assign(static_cast<size_t>(n));
    }

    // Applies the pairs of one score level.
    void apply(std::span<const NamePair> pairs, std::span<const size_t> level);
    int32_t find(int32_t x) noexcept { return forest_.find(x); }

    std::vector<std::pair<int32_t, int32_t>> unsplittable;

private:
    int32_t local_id(int32_t root);
    void weigh_parts();

    int32_t max_size_;
    Forest forest_;
    std::vector<int32_t> size_;  // by root
    std::vector<char> closed_;   // by root: takes no further pairs
    std::vector<int32_t> local_;  // by root: its place in roots_, during a level
    std::vector<int32_t> roots_;  // the clusters the level touches
    std::vector<std::pair<int32_t, int32_t>> joins_;  // the level's pairs, as local ids
    Forest parts_;                // the level's joins over local ids
    std::vector<Part> part_;      // by local root
};

int32_t Clustering::local_id(int32_t root) {
    int32_t& id = local_[static_cast<size_t>(root)];
    if (id < 0) {
        id = static_cast<int32_t>(roots_.size());
        roots_.push_back(root);
    }
    return id;
}

void Clustering::weigh_parts() {
    parts_.assign(roots_.size());
    for (auto [a, b] : joins_) parts_.join(a, b);
    part_.assign(roots_.size(), Part{});
    for (size_t k = 0; k < roots_.size(); ++k) {
        Part& p = part_[static_cast<size_t>(parts_.find(static_cast<int32_t>(k)))];
        const auto r = static_cast<size_t>(roots_[k]);
        p.size += size_[r];
        p.stuck = p.stuck || closed_[r] != 0;
        p.single = p.single && size_[r] == 1;
    }
}

void Clustering::apply(std::span<const NamePair> pairs, std::span<const size_t> level) {
    roots_.clear();
    joins_.clear();
    for (size_t k : level) {
        const int32_t a = forest_.find(pairs[k].name1), b = forest_.find(pairs[k].name2);
        if (a != b) joins_.emplace_back(local_id(a), local_id(b));
    }
    weigh_parts();
    for (auto [a, b] : joins_) {
        const Part& p = part_[static_cast<size_t>(parts_.find(a))];
        const int32_t ra = forest_.find(roots_[static_cast<size_t>(a)]);
        const int32_t rb = forest_.find(roots_[static_cast<size_t>(b)]);
        const bool fits = p.size <= max_size_ && !p.stuck;
        // One equal score throughout: no threshold tells these names apart.
        const bool whole = !p.stuck && p.single;
        if (fits || whole) {
            if (ra == rb) continue;
            const int32_t r = forest_.join(ra, rb);
            size_[static_cast<size_t>(r)] = size_[static_cast<size_t>(ra)] + size_[static_cast<size_t>(rb)];
            closed_[static_cast<size_t>(r)] = fits ? 0 : 1;
        } else {
            closed_[static_cast<size_t>(ra)] = closed_[static_cast<size_t>(rb)] = 1;
        }
    }
    for (size_t k = 0; k < roots_.size(); ++k) {
        const int32_t r = roots_[k];
        local_[static_cast<size_t>(r)] = -1;
        const Part& p = part_[static_cast<size_t>(parts_.find(static_cast<int32_t>(k)))];
        if (!p.stuck && p.single && p.size > max_size_ && forest_.find(r) == r) {
            unsplittable.emplace_back(r, size_[static_cast<size_t>(r)]);
        }
    }
}

}  // namespace

ClusterResult cluster_pairs(int32_t n, std::span<const NamePair> pairs, std::span<const float> scores,
                            int32_t max_size) noexcept {
    ClusterResult result;
    try {
        std::vector<size_t> order(pairs.size());
        std::iota(order.begin(), order.end(), size_t{0});
        // Strongest first; equal scores in the pairs' order, so the result never varies.
        std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) { return scores[x] > scores[y]; });
        Clustering c(n, std::max(max_size, 1));
        for (size_t k = 0; k < order.size();) {
            size_t e = k + 1;
            while (e < order.size() && scores[order[e]] == scores[order[k]]) ++e;
            c.apply(pairs, std::span<const size_t>(order).subspan(k, e - k));
            k = e;
        }
        result.labels.resize(static_cast<size_t>(n));
        for (int32_t x = 0; x < n; ++x) result.labels[static_cast<size_t>(x)] = c.find(x);
        result.unsplittable = std::move(c.unsplittable);
    } catch (const std::bad_alloc&) {
        result = ClusterResult{};
        result.out_of_memory = true;
    }
    return result;
}

}  // namespace talvik
