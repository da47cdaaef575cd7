// Clusters from scored pairs that do not chain: single linkage, cut where a
// cluster would grow past a size. Pairs join from the strongest down, a
// score level (pairs of equal score) at a time; where a level would make a
// cluster of more than max_size names, that level is not applied inside it:
// the parts it would have joined stay apart and take no further pairs. It is
// the cut of the single-linkage tree that keeps, for every name, the largest
// cluster around it of at most max_size names, so each large group is split
// by raising the score threshold inside it, and only as far as it needs.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "talvik/pair_store.h"

namespace talvik {

struct ClusterResult {
    // Per name, the smallest index of its cluster; empty on failure.
    std::vector<int32_t> labels;
    // Clusters of more than max_size names that no threshold can split: names
    // joined only by pairs of one equal score (one name repeated), by the
    // smallest index of each, with its size.
    std::vector<std::pair<int32_t, int32_t>> unsplittable;
    bool out_of_memory = false;
};

// Pairs index [0, n) and carry one score each (scores.size() == pairs.size()).
ClusterResult cluster_pairs(int32_t n, std::span<const NamePair> pairs, std::span<const float> scores,
                            int32_t max_size) noexcept;

// Clusters that need every pair between them to agree: average linkage.
// Pairs are taken from the strongest down (equal scores in the pairs'
// order); at each, the clusters of its two names join when the mean score
// of all pairs between them is at least min_score, a pair not given (the
// rule does not pair them, or they scored below the search's floor)
// counting as `unpaired`, and when together they hold at most max_size
// names. A weak link between two strong clusters no longer chains them:
// the pairs that do not match pull the mean down. In `unsplittable`, the
// clusters (by smallest index, with their size) that a join was refused
// for max_size alone.
ClusterResult cluster_by_mean(int32_t n, std::span<const NamePair> pairs, std::span<const float> scores,
                              float min_score, float unpaired, int32_t max_size) noexcept;

}  // namespace talvik
