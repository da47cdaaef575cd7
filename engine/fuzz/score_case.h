// The scored search against the reference score: which pairs a search with
// scores, a floor and blocks keeps, the score of each, and score_account's
// word-by-word account of it. Shared by the libFuzzer targets and the engine
// tests, like fuzz_case.h.
//
// fuzz_scores reads two bytes before a fuzz_case.h input:
//   m: bits 0-1, the floor: none, (x - 128) / 8, the engine's own score of
//      pair x of the unfloored search (which must then be kept), +infinity;
//      bits 2-4, k: 0 no blocks, else name i's block is
//      codes[(size of name i + i * (x | 1)) % k], codes chosen so that a value
//      cut to 32 bits or to its sign would join blocks that differ;
//      bit 5: 3 workers instead of 1; bit 6: the case's row range through a
//      prebuilt index instead of the whole list; bit 7: also the floor and
//      blocks without scores, which must keep the same pairs.
//   x: the number the floor and the blocks read.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "every_pair.h"
#include "fuzz_case.h"
#include "pair_score_reference.h"
#include "talvik/find_pairs.h"
#include "talvik/pair_score.h"

namespace talvik::fuzz {

struct ScoreMode {
    enum class Floor : uint8_t { none, fixed, pair_score, infinite };
    Floor floor = Floor::none;
    uint8_t x = 0;
    int32_t block_kinds = 0;  // 0: no blocks
    int32_t threads = 1;
    bool range = false;
    bool unscored_too = false;
};

inline ScoreMode decode_score_mode(uint8_t m, uint8_t x) {
    ScoreMode mode;
    mode.floor = static_cast<ScoreMode::Floor>(m & 3);
    mode.x = x;
    mode.block_kinds = (m >> 2) & 7;
    mode.threads = (m & 0x20) != 0 ? 3 : 1;
    mode.range = (m & 0x40) != 0;
    mode.unscored_too = (m & 0x80) != 0;
    return mode;
}

// The mode bytes, then the case.
struct ScoreInput {
    ScoreMode mode;
    Case c;
};

inline ScoreInput decode_scored(std::span<const uint8_t> bytes) {
    const uint8_t m = bytes.size() > 0 ? bytes[0] : 0;
    const uint8_t x = bytes.size() > 1 ? bytes[1] : 0;
    return {decode_score_mode(m, x), decode(bytes.subspan(std::min<size_t>(bytes.size(), 2)))};
}

inline ScoreInput decode_scored(std::string_view bytes) {
    return decode_scored(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

inline std::vector<int64_t> block_codes(const Case& c, const ScoreMode& mode) {
    static constexpr int64_t codes[] = {0,
                                        int64_t{1} << 32,
                                        -1,
                                        std::numeric_limits<int64_t>::min(),
                                        std::numeric_limits<int64_t>::max(),
                                        (int64_t{1} << 32) - 1,
                                        int64_t{1} << 62};
    std::vector<int64_t> out;
    if (mode.block_kinds == 0) return out;
    const size_t step = mode.x | 1u;
    for (size_t i = 0; i < c.names.size(); ++i) {
        out.push_back(codes[(c.names[i].size() + i * step) % static_cast<size_t>(mode.block_kinds)]);
    }
    return out;
}

inline std::string describe(const ScoreMode& mode) {
    return detail::cat("score mode: floor ", static_cast<int>(mode.floor), " x ", static_cast<int>(mode.x),
                       ", block kinds ", mode.block_kinds, ", threads ", mode.threads, mode.range ? ", row range" : "",
                       mode.unscored_too ? ", unscored too" : "", "\n");
}

namespace detail {

struct Scored {
    Pairs pairs;
    std::vector<float> scores;
};

inline Scored scored_of(const PairResult& r) {
    std::vector<NamePair> pairs(static_cast<size_t>(std::max<int64_t>(r.count(), 0)));
    r.copy_to(pairs.data());
    Scored out{pairs_of(pairs), std::vector<float>(pairs.size())};
    if (r.has_scores()) r.copy_scores_to(out.scores.data());
    return out;
}

inline const char* found_name(FoundAs how) {
    static constexpr const char* names[] = {"same", "tradeout", "one_edit", "two_edits", "initial", "missing",
                                            "conflict"};
    return names[static_cast<size_t>(how)];
}

// What differs between score_account's words and the reference's.
inline void compare_words(const char* side, const std::vector<ScoredWord>& got,
                          const std::vector<reference::ReferenceWord>& want, double tolerance, std::string& report) {
    if (got.size() != want.size()) {
        put(report, "    ", side, ": ", got.size(), " positions, the reference ", want.size(), "\n");
        return;
    }
    for (size_t k = 0; k < got.size(); ++k) {
        const bool how_ok = got[k].how == want[k].how || want[k].tied;
        if (!how_ok || std::abs(got[k].contribution - want[k].contribution) > tolerance) {
            put(report, "    ", side, " position ", k, ": ", found_name(got[k].how), " weight ", got[k].weight,
                " contribution ", got[k].contribution, "; the reference ", found_name(want[k].how), " weight ",
                want[k].weight, " contribution ", want[k].contribution, want[k].tied ? " (tied)" : "", "\n");
        }
    }
}

}  // namespace detail

// Empty when the scored search agrees with the reference; otherwise what
// differed. The pairs must be the every-pair reference's, less those in
// different blocks and those whose reference score is below the floor;
// a pair within the tolerance of the floor may go either way.
inline std::string check_scores(const Case& c, const ScoreMode& mode) {
    using namespace detail;
    TradeoutTablePtr table = build_table(c);
    if (table == nullptr) return "the table could not be built\n";
    const std::vector<std::string_view> views(c.names.begin(), c.names.end());
    const std::span<const std::string_view> names(views);
    SearchIndex::Built built = SearchIndex::build(names, *table, mode.threads);
    if (built.index == nullptr) return "SearchIndex::build failed\n";
    const SearchIndex& index = *built.index;
    const reference::ScoreReference ref(names, *table);
    const std::vector<int64_t> blocks = block_codes(c, mode);

    SearchOptions o;
    o.threads = mode.threads;
    if (mode.range) {
        o.first_row = c.first_row;
        o.last_row = c.last_row;
        o.min_second = c.min_second;
    }
    o.scores = true;
    o.blocks = blocks;
    auto search = [&](const SearchOptions& options) {
        return mode.range ? find_pairs(index, options) : find_pairs(names, *table, options);
    };
    std::string report;

    // The floor.
    switch (mode.floor) {
        case ScoreMode::Floor::none: break;
        case ScoreMode::Floor::fixed: o.min_score = (static_cast<float>(mode.x) - 128.0f) / 8.0f; break;
        case ScoreMode::Floor::infinite: o.min_score = std::numeric_limits<float>::infinity(); break;
        case ScoreMode::Floor::pair_score: {
            const PairResult all = search(o);
            if (!all.ok()) return cat("unfloored search: error ", static_cast<int>(all.error()), "\n");
            const Scored s = scored_of(all);
            if (!s.pairs.empty()) o.min_score = s.scores[mode.x % s.scores.size()];
            break;
        }
    }

    const PairResult result = search(o);
    if (!result.ok()) return cat("scored search: error ", static_cast<int>(result.error()), "\n");
    if (!result.has_scores()) put(report, "scored search: has_scores() is false\n");
    const Scored got = scored_of(result);

    // The reference's pairs: those that must be kept, and those that may be.
    const Pairs every = pairs_of(mode.range ? reference::every_pair(names, *table, c.first_row, c.last_row,
                                                                    c.min_second)
                                            : reference::every_pair(names, *table));
    Pairs must, may;
    for (const auto& p : every) {
        if (!blocks.empty() && blocks[static_cast<size_t>(p.first)] != blocks[static_cast<size_t>(p.second)]) continue;
        const reference::ReferenceScore r = ref.score(p.first, p.second);
        const double tol = reference::score_tolerance(r);
        if (r.score >= static_cast<double>(o.min_score) + tol) must.push_back(p);
        if (r.score >= static_cast<double>(o.min_score) - tol) may.push_back(p);
    }
    Pairs kept_must;  // the pairs kept that had to be, to compare with `must`
    for (size_t k = 0; k < got.pairs.size(); ++k) {
        if (k > 0 && !(got.pairs[k - 1] < got.pairs[k])) {
            put(report, "scored search: not in row order at ", k, "\n");
            break;
        }
        if (std::binary_search(must.begin(), must.end(), got.pairs[k])) kept_must.push_back(got.pairs[k]);
    }
    Pairs extra;
    for (const auto& p : got.pairs) {
        if (!std::binary_search(may.begin(), may.end(), p)) extra.push_back(p);
    }
    if (kept_must != must || !extra.empty()) {
        put(report, "scored search: ", got.pairs.size(), " pairs, the reference ", must.size(), " to ", may.size(),
            " (floor ", o.min_score, ")\n", diff(must, kept_must), diff({}, extra));
    }
    if (mode.floor == ScoreMode::Floor::pair_score && std::isfinite(o.min_score) &&
        std::find(got.scores.begin(), got.scores.end(), o.min_score) == got.scores.end()) {
        put(report, "scored search: no pair kept with the floor's own score ", o.min_score, "\n");
    }

    // Each score against the reference, and score_account against each score.
    int32_t reported = 0;
    for (size_t k = 0; k < got.pairs.size() && reported < 10; ++k) {
        const auto [i, j] = got.pairs[k];
        const reference::ReferenceScore r = ref.score(i, j);
        const ScoreAccount account = score_account(index, i, j);
        std::string words;
        compare_words("name1", account.words1, r.words1, reference::score_tolerance(r), words);
        compare_words("name2", account.words2, r.words2, reference::score_tolerance(r), words);
        const bool agrees = reference::score_agrees(got.scores[k], r);
        if (!agrees || account.score != got.scores[k] || !words.empty()) {
            ++reported;
            put(report, "score of ", pair_text(got.pairs[k]), ": search ", got.scores[k], ", score_account ",
                account.score, ", the reference ", r.score, " (tolerance ", reference::score_tolerance(r), ")\n",
                words);
        }
    }

    // score_account takes any two names, matching or not, one-word and
    // empty ones included.
    const size_t n = c.names.size();
    for (size_t k = 0; k < std::min<size_t>(n, 6); ++k) {
        const auto i = static_cast<int32_t>((mode.x + k) % n);
        const auto j = static_cast<int32_t>((3 * mode.x + 5 * k) % n);
        const reference::ReferenceScore r = ref.score(i, j);
        const ScoreAccount account = score_account(index, i, j);
        std::string words;
        compare_words("name1", account.words1, r.words1, reference::score_tolerance(r), words);
        compare_words("name2", account.words2, r.words2, reference::score_tolerance(r), words);
        if (!reference::score_agrees(account.score, r) || !words.empty()) {
            put(report, "score_account", pair_text({i, j}), ": ", account.score, ", the reference ", r.score, "\n",
                words);
        }
    }

    // The same options counted, grouped, and without scores, keep the same pairs.
    SearchOptions counted = o;
    counted.output = PairOutput::count;
    compare_count("scored search, count", search(counted), got.pairs.size(), report);
    if (!mode.range) {
        SearchOptions grouped = o;
        grouped.output = PairOutput::groups;
        compare_groups("scored search, groups", search(grouped), components(c.names.size(), got.pairs), report);
    }
    if (mode.unscored_too) {
        SearchOptions plain = o;
        plain.scores = false;
        const PairResult r = search(plain);
        if (r.ok() && r.has_scores()) put(report, "unscored search: has_scores() is true\n");
        compare_stored("unscored search", r, got.pairs, report);
    }
    return report;
}

}  // namespace talvik::fuzz
