#include "talvik/tradeout_usage.h"

#include <algorithm>
#include <new>
#include <string_view>
#include <vector>

#include "candidate_search.h"
#include "talvik/match_rule.h"
#include "name_index.h"
#include "parallel_for.h"

namespace talvik {
namespace {

// Pairs a worker claims at once: a stop is seen within one chunk.
constexpr size_t kChunkPairs = 4096;
// Each worker counts into a KeyUsage per table slot; a team whose counters
// would pass this is cut down (fewer workers never change the tally).
constexpr size_t kCounterBytes = size_t{64} << 20;

// The word at `position` of a name, cut as the index cuts it.
std::string_view word_at(std::string_view name, int32_t position) noexcept {
    WordCursor cursor(name);
    std::string_view w;
    for (int32_t k = 0; cursor.next(w); ++k) {
        if (k == position) return w;
    }
    return {};
}

// One worker's tally, and its working space for judging a pair again.
class PairTally {
public:
    // Throws std::bad_alloc.
    PairTally(const SearchIndex& index, size_t slots) : index_(index), words_(index.index()), counts_(slots) {}

    // Throws std::bad_alloc.
    void add(NamePair pair);
    const std::vector<KeyUsage>& counts() const noexcept { return counts_; }

private:
    // A key found through in one pair: at how many positions of each name.
    struct Use {
        int32_t word;
        int32_t positions[2];
        int32_t name;      // a name and position where it stands, for its text
        int32_t position;
    };

    int32_t found_in(std::span<const int32_t> words, std::span<const int32_t> other, int32_t name, int side);
    void note_use(int32_t word, int side, int32_t name, int32_t position);

    const SearchIndex& index_;
    const NameIndex& words_;
    std::vector<KeyUsage> counts_;
    MarkTable<uint8_t> held_;  // the other name's words
    std::vector<Use> uses_;
};

// How many positions of `words` are found in `other`, as the rule has it;
// those found only through a tradeout are noted as uses of their word's key.
int32_t PairTally::found_in(std::span<const int32_t> words, std::span<const int32_t> other, int32_t name,
                            int side) {
    held_.reset(other.size());
    for (int32_t x : other) held_.at(x) = 1;
    auto holds = [this](int32_t x) { return held_.find(x) != nullptr; };
    auto tradeouts_of = [this](int32_t w) { return words_.tradeouts(w); };
    int32_t found = 0;
    for (size_t p = 0; p < words.size(); ++p) {
        const int32_t w = words[p];
        if (!position_found(w, tradeouts_of, holds)) continue;
        ++found;
        if (!holds(w)) note_use(w, side, name, static_cast<int32_t>(p));
    }
    return found;
}

void PairTally::note_use(int32_t word, int side, int32_t name, int32_t position) {
    for (Use& u : uses_) {
        if (u.word == word) {
            ++u.positions[side];
            return;
        }
    }
    Use u{word, {0, 0}, name, position};
    u.positions[side] = 1;
    uses_.push_back(u);
}

void PairTally::add(NamePair pair) {
    const std::span<const int32_t> w1 = words_.words(pair.name1);
    const std::span<const int32_t> w2 = words_.words(pair.name2);
    uses_.clear();
    const int32_t f1 = found_in(w1, w2, pair.name1, 0);
    const int32_t f2 = found_in(w2, w1, pair.name2, 1);
    const auto c1 = static_cast<int32_t>(w1.size());
    const auto c2 = static_cast<int32_t>(w2.size());
    const bool matched = accepts(c1, f1, c2, f2);
    for (const Use& u : uses_) {
        const std::string_view key = word_at(index_.names()[static_cast<size_t>(u.name)], u.position);
        const std::optional<uint64_t> slot = tradeout_table_find(index_.table(), key);
        if (!slot) continue;  // never: a word has tradeouts in the index only through its entry
        KeyUsage& k = counts_[static_cast<size_t>(*slot)];
        ++k.pairs;
        if (matched && !accepts(c1, f1 - u.positions[0], c2, f2 - u.positions[1])) ++k.needed;
    }
}

int32_t team_for(const UsageOptions& options, size_t slots, size_t chunks) noexcept {
    const size_t per_worker = std::max<size_t>(1, slots * sizeof(KeyUsage));
    const size_t affordable = std::max<size_t>(1, kCounterBytes / per_worker);
    const size_t team = std::min({static_cast<size_t>(available_workers(options.threads)), affordable, chunks});
    return static_cast<int32_t>(std::max<size_t>(team, 1));
}

}  // namespace

SearchError add_tradeout_usage(const SearchIndex& index, std::span<const NamePair> pairs,
                               const UsageOptions& options, std::vector<KeyUsage>& totals) noexcept {
    const size_t slots = static_cast<size_t>(index.table().capacity);
    const size_t chunks = (pairs.size() + kChunkPairs - 1) / kChunkPairs;
    const int32_t workers = team_for(options, slots, chunks);
    std::vector<PairTally> tallies;
    try {
        totals.resize(slots);
        tallies.reserve(static_cast<size_t>(workers));
        for (int32_t w = 0; w < workers; ++w) tallies.emplace_back(index, slots);
    } catch (const std::bad_alloc&) {
        return SearchError::out_of_memory;
    }
    ParallelFor team(workers, options.stop, options.poll);
    team.run(chunks, [&](size_t c, int32_t worker) {
        PairTally& tally = tallies[static_cast<size_t>(worker)];
        const size_t end = std::min(pairs.size(), (c + 1) * kChunkPairs);
        for (size_t k = c * kChunkPairs; k < end; ++k) tally.add(pairs[k]);
    });
    if (!team.ok()) return team.error();
    for (const PairTally& tally : tallies) {
        for (size_t s = 0; s < slots; ++s) {
            totals[s].pairs += tally.counts()[s].pairs;
            totals[s].needed += tally.counts()[s].needed;
        }
    }
    return SearchError::none;
}

}  // namespace talvik
