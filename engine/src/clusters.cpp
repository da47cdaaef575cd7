#include "talvik/clusters.h"

#include <algorithm>
#include <new>
#include <numeric>
#include <span>
#include <unordered_map>

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

// Pair indices from the strongest score down, equal scores in the pairs' order.
std::vector<size_t> strongest_first(std::span<const float> scores) {
    std::vector<size_t> order(scores.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) { return scores[x] > scores[y]; });
    return order;
}

uint64_t pair_key(int32_t a, int32_t b) noexcept {
    if (a > b) std::swap(a, b);
    return static_cast<uint64_t>(static_cast<uint32_t>(a)) << 32 | static_cast<uint32_t>(b);
}

class MeanClustering {
public:
    MeanClustering(int32_t n, std::span<const NamePair> pairs, std::span<const float> scores, float unpaired)
        : members_(static_cast<size_t>(n)), ids_(static_cast<size_t>(n)), version_(static_cast<size_t>(n), 0),
          unpaired_(unpaired) {
        forest_.assign(static_cast<size_t>(n));
        std::iota(ids_.begin(), ids_.end(), 0);
        score_.reserve(pairs.size());
        for (size_t k = 0; k < pairs.size(); ++k) {
            if (pairs[k].name1 == pairs[k].name2) continue;
            // A pair given twice counts once, at its best.
            auto [at, added] = score_.try_emplace(pair_key(pairs[k].name1, pairs[k].name2), scores[k]);
            if (!added) at->second = std::max(at->second, scores[k]);
        }
    }

    int32_t find(int32_t x) noexcept { return forest_.find(x); }
    // A name alone has no list of its own: most never join, and a list each
    // would be an allocation each.
    std::span<const int32_t> members(int32_t root) const {
        const auto& list = members_[static_cast<size_t>(root)];
        if (list.empty()) return {&ids_[static_cast<size_t>(root)], 1};
        return list;
    }

    // The mean score between the clusters of roots a and b, in double: the
    // same sum whichever order the pairs came in.
    double mean(int32_t a, int32_t b) const {
        double sum = 0.0;
        for (const int32_t x : members(a)) {
            for (const int32_t y : members(b)) {
                const auto at = score_.find(pair_key(x, y));
                sum += at == score_.end() ? static_cast<double>(unpaired_) : static_cast<double>(at->second);
            }
        }
        return sum / (static_cast<double>(members(a).size()) * static_cast<double>(members(b).size()));
    }

    // Whether a and b were weighed already, and neither has changed since.
    bool refused_before(int32_t a, int32_t b) const {
        const auto at = refused_.find(pair_key(a, b));
        return at != refused_.end() && at->second == versions(a, b);
    }
    void refuse(int32_t a, int32_t b) { refused_[pair_key(a, b)] = versions(a, b); }

    void join(int32_t a, int32_t b) {
        const int32_t r = forest_.join(a, b);
        const int32_t other = r == a ? b : a;
        auto& into = members_[static_cast<size_t>(r)];
        if (into.empty()) into.push_back(r);
        const auto from = members(other);
        into.insert(into.end(), from.begin(), from.end());
        members_[static_cast<size_t>(other)] = std::vector<int32_t>();
        ++version_[static_cast<size_t>(r)];
    }

private:
    // Versions of a and b in the order of pair_key's halves.
    uint64_t versions(int32_t a, int32_t b) const {
        if (a > b) std::swap(a, b);
        return static_cast<uint64_t>(version_[static_cast<size_t>(a)]) << 32 | version_[static_cast<size_t>(b)];
    }

    Forest forest_;
    std::vector<std::vector<int32_t>> members_;  // by root, the root's list first; empty alone
    std::vector<int32_t> ids_;                   // x at x: the members of a name alone
    std::vector<uint32_t> version_;              // by root: joins it has taken
    std::unordered_map<uint64_t, float> score_;
    std::unordered_map<uint64_t, uint64_t> refused_;
    float unpaired_;
};

}  // namespace

ClusterResult cluster_by_mean(int32_t n, std::span<const NamePair> pairs, std::span<const float> scores,
                              float min_score, float unpaired, int32_t max_size) noexcept {
    ClusterResult result;
    try {
        MeanClustering c(n, pairs, scores, unpaired);
        const auto limit = static_cast<size_t>(std::max(max_size, 1));
        std::vector<char> held_back(static_cast<size_t>(n), 0);
        for (const size_t k : strongest_first(scores)) {
            const int32_t a = c.find(pairs[k].name1), b = c.find(pairs[k].name2);
            if (a == b || c.refused_before(a, b)) continue;
            if (c.members(a).size() + c.members(b).size() > limit) {
                // Only a join that the scores would have made is held back by size.
                if (c.mean(a, b) >= min_score) held_back[static_cast<size_t>(a)] = held_back[static_cast<size_t>(b)] = 1;
                c.refuse(a, b);
                continue;
            }
            if (c.mean(a, b) >= min_score) {
                c.join(a, b);
            } else {
                c.refuse(a, b);
            }
        }
        result.labels.resize(static_cast<size_t>(n));
        for (int32_t x = 0; x < n; ++x) result.labels[static_cast<size_t>(x)] = c.find(x);
        // A root held back may have joined others since: report where it ended, once.
        std::vector<char> reported(static_cast<size_t>(n), 0);
        for (int32_t x = 0; x < n; ++x) {
            if (held_back[static_cast<size_t>(x)] == 0) continue;
            const int32_t r = c.find(x);
            if (reported[static_cast<size_t>(r)] != 0) continue;
            reported[static_cast<size_t>(r)] = 1;
            result.unsplittable.emplace_back(r, static_cast<int32_t>(c.members(r).size()));
        }
        std::sort(result.unsplittable.begin(), result.unsplittable.end());
    } catch (const std::bad_alloc&) {
        result = ClusterResult{};
        result.out_of_memory = true;
    }
    return result;
}

ClusterResult cluster_pairs(int32_t n, std::span<const NamePair> pairs, std::span<const float> scores,
                            int32_t max_size) noexcept {
    ClusterResult result;
    try {
        // Equal scores in the pairs' order, so the result never varies.
        const std::vector<size_t> order = strongest_first(scores);
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
