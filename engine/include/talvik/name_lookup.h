// Which names of a built (or opened) index each of a few new names matches,
// without indexing the new ones: the work follows the new names and the
// candidates their words reach, never the size of the index.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "talvik/find_pairs.h"
#include "talvik/pair_store.h"

namespace talvik {

// Where a lookup may write its pairs instead of LookupResult's vectors: asked
// once, on the calling thread, for room for all of them (and their scores
// when scoring); null when memory runs out. Saves the caller a copy of a
// large batch's pairs.
class LookupSink {
public:
    virtual NamePair* pairs(size_t n) noexcept = 0;
    virtual float* scores(size_t n) noexcept = 0;

protected:
    ~LookupSink() = default;
};

struct LookupOptions {
    // Workers for a batch; a lookup of fewer than kTeamQueries names runs on
    // the calling thread alone, and never calls the poll.
    int32_t threads = 1;
    const StopToken* stop = nullptr;
    Progress* progress = nullptr;  // queries done
    const Poll* poll = nullptr;
    // The most pairs the call may return; past it, too_many_pairs.
    int64_t max_pairs = std::numeric_limits<int64_t>::max();
    // Score each pair (talvik/pair_score.h), weighing words by the indexed
    // names alone: a query word no indexed name holds weighs as a word held
    // once. Pairs scoring below min_score (when finite) are dropped.
    bool scores = false;
    float min_score = -std::numeric_limits<float>::infinity();
    // When set, the pairs (and scores) go there, and the result's stay empty.
    LookupSink* sink = nullptr;
};

struct LookupResult {
    SearchError error = SearchError::none;
    // (query, indexed name) for every match, by query, then indexed name.
    std::vector<NamePair> pairs;
    std::vector<float> scores;  // one per pair, when asked for
};

class NameLookup {
public:
    // Batches smaller than this are not worth a team.
    static constexpr size_t kTeamQueries = 256;

    // Prepares lookups into `index`, which must outlive this. Reads the
    // tradeout table once (not the names); null when memory runs out.
    static std::unique_ptr<NameLookup> make(const SearchIndex& index) noexcept;

    // Every pair (q, j) where queries[q] matches indexed name j under the
    // rule, the same pairs the index built over both lists would link. Safe
    // from many threads at once.
    LookupResult find(std::span<const std::string_view> queries, const LookupOptions& options) const noexcept;

    ~NameLookup();

    struct Private;

private:
    explicit NameLookup(std::unique_ptr<Private> p) noexcept;
    std::unique_ptr<Private> p_;
};

}  // namespace talvik
