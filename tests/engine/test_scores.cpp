// Pair scores: what they must say (exact over variant over initial, rare
// over common, a conflict worse than a gap), that filters on them and on
// blocks equal filtering the full result afterwards, and clusters that stop
// chaining where a cluster would grow too large.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "talvik/clusters.h"
#include "talvik/find_pairs.h"
#include "talvik/match_rule.h"
#include "talvik/name_lookup.h"
#include "talvik/pair_score.h"
#include "table_builder.h"

using talvik::testing::build_table;
using talvik::testing::tag;

namespace talvik {
namespace {

using Scored = std::map<std::pair<int32_t, int32_t>, float>;

Scored scored_pairs(const std::vector<std::string>& names, const TradeoutTable& table, SearchOptions options = {}) {
    options.scores = true;
    const std::vector<std::string_view> views(names.begin(), names.end());
    const PairResult result = find_pairs(views, table, options);
    EXPECT_TRUE(result.ok());
    std::vector<NamePair> pairs(static_cast<size_t>(result.count()));
    std::vector<float> scores(pairs.size());
    result.copy_to(pairs.data());
    result.copy_scores_to(scores.data());
    Scored out;
    for (size_t k = 0; k < pairs.size(); ++k) out[{pairs[k].name1, pairs[k].name2}] = scores[k];
    return out;
}

// Names that only make the counts realistic: none matches another.
std::vector<std::string> filler(int n) {
    std::vector<std::string> names;
    for (int k = 0; k < n; ++k) {
        std::string name = tag("F", k);
        name.append(" ").append(tag("G", k));
        names.push_back(name);
    }
    return names;
}

struct Ranking {
    const char* what;
    std::vector<std::string> names;           // added after the filler
    talvik::testing::Entries tradeouts;
    std::pair<int32_t, int32_t> stronger, weaker;  // rows of `names`
};

// A variant of a word with a rare one (a typo) and with another word as
// common (another name): the lighter word, Saul, is the same in both pairs.
std::vector<std::string> saul_sauk_raul() {
    std::vector<std::string> names = {"Saul Quill", "Sauk Quill", "Raul Quill"};
    for (int k = 0; k < 15; ++k) {
        names.push_back("Saul " + tag("S", k));
        names.push_back("Raul " + tag("R", k));
    }
    return names;
}

TEST(Scores, RankPairsAsTheEvidenceSays) {
    const std::vector<Ranking> cases = {
        {"a variant with a rare word over one between two common words", saul_sauk_raul(),
         {{"Saul", {"Sauk", "Raul"}}, {"Sauk", {"Saul"}}, {"Raul", {"Saul"}}}, {0, 1}, {0, 2}},
        {"exact over a one-edit variant",
         {"Xavier Quill", "Xavier Quill", "Xavjer Quill"}, {{"Xavier", {"Xavjer"}}, {"Xavjer", {"Xavier"}}},
         {0, 1}, {0, 2}},
        {"one edit over two",
         {"Xavier Quill", "Xavjer Quill", "Xafjer Quill"},
         {{"Xavier", {"Xavjer", "Xafjer"}}, {"Xavjer", {"Xavier"}}, {"Xafjer", {"Xavier"}}}, {0, 1}, {0, 2}},
        {"a variant over an initial",
         {"Xavier Quill", "Xavjer Quill", "X Quill"},
         {{"Xavier", {"Xavjer", "X"}}, {"Xavjer", {"Xavier"}}, {"X", {"Xavier"}}}, {0, 1}, {0, 2}},
        {"a nickname over an initial",
         {"Robert Quill", "Bob Quill", "R Quill"}, {{"Robert", {"Bob", "R"}}, {"Bob", {"Robert"}}, {"R", {"Robert"}}},
         {0, 1}, {0, 2}},
        {"rare names over common ones",
         {"Xiomara Wojcik", "Xiomara Wojcik", "John Smith", "John Smith", "John Smith", "John Smith", "John Smith"},
         {}, {0, 1}, {2, 3}},
        {"a missing word over a conflicting one",
         {"Anna Maria Berg Holm", "Anna Berg Holm", "Anna Sofia Berg Holm", "Maria Lund", "Sofia Lund"}, {},
         {0, 1}, {0, 2}},
    };
    for (const Ranking& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> names = filler(300);
        const auto base = static_cast<int32_t>(names.size());
        names.insert(names.end(), c.names.begin(), c.names.end());
        const auto table = build_table(c.tradeouts);
        const Scored s = scored_pairs(names, *table);
        const auto at = [&](std::pair<int32_t, int32_t> p) {
            const auto it = s.find({base + p.first, base + p.second});
            EXPECT_NE(it, s.end()) << "the pair must match";
            return it == s.end() ? 0.0f : it->second;
        };
        EXPECT_GT(at(c.stronger), at(c.weaker));
    }
}

TEST(Scores, SameNamesGainWithRarity) {
    // One unique two-word name repeated: each word weighs log2(N / 2) bits,
    // and the score is their sum less log2(N).
    std::vector<std::string> names = filler(1022);
    names.push_back("Xiomara Wojcik");
    names.push_back("Xiomara Wojcik");
    const auto table = build_table({});
    const Scored s = scored_pairs(names, *table);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_NEAR(s.begin()->second, 2 * 9.0f - 10.0f, 1e-4);
}

// Random names over a small vocabulary, many of them matching.
std::vector<std::string> crowded(int n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::string> names;
    for (int k = 0; k < n; ++k) {
        std::string name;
        const int words = 2 + static_cast<int>(rng() % 3);
        for (int w = 0; w < words; ++w) {
            if (w > 0) name.append(" ");
            name.append(tag("w", static_cast<int>(rng() % 12)));
        }
        names.push_back(name);
    }
    return names;
}

TEST(Scores, FiltersEqualFilteringTheWholeResult) {
    const auto names = crowded(900, 7);
    const auto table = build_table({{"w1", {"w2", "w3"}}, {"w4", {"w1"}}});
    std::vector<int64_t> blocks;
    for (size_t k = 0; k < names.size(); ++k) blocks.push_back(static_cast<int64_t>(k % 3));
    const Scored all = scored_pairs(names, *table);
    ASSERT_GT(all.size(), 1000u);
    std::vector<float> ordered;
    for (const auto& entry : all) ordered.push_back(entry.second);
    std::sort(ordered.begin(), ordered.end());
    const float floor = ordered[ordered.size() / 2];  // keeps about half
    for (int32_t threads : {1, 3}) {
        SearchOptions o;
        o.threads = threads;
        EXPECT_EQ(scored_pairs(names, *table, o), all) << "a team changes no score";
        o.min_score = floor;
        o.blocks = blocks;
        Scored expected;
        for (const auto& [p, score] : all) {
            if (score >= floor && blocks[static_cast<size_t>(p.first)] == blocks[static_cast<size_t>(p.second)]) {
                expected[p] = score;
            }
        }
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(scored_pairs(names, *table, o), expected);
        o.scores = false;
        o.output = PairOutput::count;
        const std::vector<std::string_view> views(names.begin(), names.end());
        EXPECT_EQ(find_pairs(views, *table, o).count(), static_cast<int64_t>(expected.size()));
    }
}

TEST(Scores, AFloorSparesTheSearchTheMatchesThatCannotReachIt) {
    // An initial standing for 60 given names beside common words: "Jo A
    // Smith" matches every "An Smith" and "Jo An", and "A Smith" every "An
    // Smith", all far below the floors here; the search need not gather them.
    std::vector<std::string> names = filler(400);
    talvik::testing::Entries tradeouts;
    std::vector<std::string> given;
    for (int k = 0; k < 60; ++k) {
        given.push_back(tag("An", k));
        names.push_back(given.back() + " Smith");
        names.push_back("Jo " + given.back());
        tradeouts.push_back({given.back(), {"A"}});
    }
    tradeouts.push_back({"A", given});
    for (int k = 0; k < 24; ++k) names.push_back(k % 6 == 0 ? "Jo A Smith" : "A Smith");
    names.insert(names.end(), {"Xiomara Wojcik", "Xiomara Wojcik", "An7 Smith", "Jo An7 Smith"});
    const auto table = build_table(tradeouts);
    const std::vector<std::string_view> views(names.begin(), names.end());
    const Scored all = scored_pairs(names, *table);
    SearchOptions unbounded;
    unbounded.output = PairOutput::count;
    const int64_t every = find_pairs(views, *table, unbounded).diagnostics().candidates;
    for (const float floor : {-2.0f, 0.0f, -30.0f}) {
        SCOPED_TRACE(floor);
        Scored expected;
        for (const auto& [p, score] : all) {
            if (score >= floor) expected[p] = score;
        }
        ASSERT_FALSE(expected.empty());
        SearchOptions o;
        o.min_score = floor;
        EXPECT_EQ(scored_pairs(names, *table, o), expected);
        o.output = PairOutput::count;
        const PairResult counted = find_pairs(views, *table, o);
        EXPECT_EQ(counted.count(), static_cast<int64_t>(expected.size()));
        if (floor > -30.0f) {
            EXPECT_LT(counted.diagnostics().candidates * 2, every) << "the initial's names gathered";
        }
    }
}

TEST(Scores, AnAccountAddsUpToTheSearchsScore) {
    const auto names = crowded(300, 3);
    const auto table = build_table({{"w1", {"w2", "w3"}}, {"w4", {"w1"}}});
    const std::vector<std::string_view> views(names.begin(), names.end());
    const auto built = SearchIndex::build(views, *table, 1);
    ASSERT_NE(built.index, nullptr);
    const Scored all = scored_pairs(names, *table);
    ASSERT_FALSE(all.empty());
    for (const auto& [p, score] : all) {
        const ScoreAccount a = score_account(*built.index, p.first, p.second);
        EXPECT_FLOAT_EQ(a.score, score);
        EXPECT_EQ(a.words1.size(), static_cast<size_t>(count_words(names[static_cast<size_t>(p.first)])));
        float sum = 0.0f;
        for (const auto* words : {&a.words1, &a.words2}) {
            for (const ScoredWord& w : *words) sum += w.contribution;
        }
        // The parts add up to the score once the prior, log2 of the 300 names, is taken off.
        EXPECT_NEAR(sum - std::log2(300.0f), a.score, 1e-3);
    }
}

TEST(Scores, OneWordAloneScoresMinusLog2OfTheNamesHoldingIt) {
    // 16 names of two words or more; the one-word names count for neither N nor df.
    std::vector<std::string> names = filler(10);
    for (const char* name : {"Wojcik Anna", "Bo Wojcik", "Smith A", "Smith B", "Jo Smith", "Smith C D",
                             "Wojcik", "Smith", "Smith"}) {
        names.push_back(name);
    }
    const std::vector<std::string_view> views(names.begin(), names.end());
    const auto built = SearchIndex::build(views, *build_table({}), 1);
    ASSERT_NE(built.index, nullptr);
    const std::vector<std::string_view> words = {"Wojcik", "Smith", "Nobody", "Anna", "wojcik"};
    const std::vector<float> scores = single_word_scores(*built.index, words);
    const std::vector<float> expected = {-1.0f, -2.0f, 0.0f, 0.0f, 0.0f};  // df 2, 4, none, 1, none (bytes differ)
    ASSERT_EQ(scores.size(), expected.size());
    for (size_t k = 0; k < words.size(); ++k) EXPECT_NEAR(scores[k], expected[k], 1e-5) << words[k];
}

TEST(Scores, BlocksOfAnotherLengthAndANanFloorAreRefused) {
    const auto names = crowded(10, 1);
    const std::vector<std::string_view> views(names.begin(), names.end());
    const auto table = build_table({});
    const std::vector<int64_t> blocks(3, 0);
    SearchOptions o;
    o.blocks = blocks;
    EXPECT_EQ(find_pairs(views, *table, o).error(), SearchError::bad_options);
    // A NaN floor would keep every pair unscored and none scored.
    for (const bool scores : {false, true}) {
        SearchOptions nan;
        nan.scores = scores;
        nan.min_score = std::numeric_limits<float>::quiet_NaN();
        EXPECT_EQ(find_pairs(views, *table, nan).error(), SearchError::bad_options);
    }
    const auto built = SearchIndex::build(views, *table, 1);
    ASSERT_NE(built.index, nullptr);
    LookupOptions lo;
    lo.min_score = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(NameLookup::make(*built.index)->find(views, lo).error, SearchError::bad_options);
}

struct Splitting {
    const char* what;
    int32_t n;
    std::vector<NamePair> pairs;
    std::vector<float> scores;
    int32_t max_size;
    std::vector<int32_t> labels;
    size_t unsplittable;
};

TEST(Clusters, SplitOnlyWhereTooLarge) {
    const std::vector<Splitting> cases = {
        {"no limit reached: the groups", 5, {{0, 1}, {1, 2}, {3, 4}}, {1, 1, 1}, 10, {0, 0, 0, 3, 3}, 0},
        {"a weak link in a chain is cut", 4, {{0, 1}, {1, 2}, {2, 3}}, {5, 1, 5}, 2, {0, 0, 2, 2}, 0},
        {"cut only as far as needed", 5, {{0, 1}, {1, 2}, {2, 3}, {3, 4}}, {9, 8, 1, 9}, 3, {0, 0, 0, 3, 3}, 0},
        {"a closed cluster takes no more", 4, {{0, 1}, {1, 2}, {2, 3}}, {9, 5, 1}, 2, {0, 0, 2, 3}, 0},
        {"equal links throughout stay whole", 4, {{0, 1}, {1, 2}, {2, 3}, {0, 3}}, {3, 3, 3, 3}, 2, {0, 0, 0, 0}, 1},
        {"a level that overflows splits back", 6, {{0, 1}, {2, 3}, {4, 5}, {1, 2}, {3, 4}}, {9, 9, 9, 2, 2}, 4,
         {0, 0, 2, 2, 4, 4}, 0},
    };
    for (const Splitting& c : cases) {
        SCOPED_TRACE(c.what);
        const ClusterResult r = cluster_pairs(c.n, c.pairs, c.scores, c.max_size);
        EXPECT_FALSE(r.out_of_memory);
        EXPECT_EQ(r.labels, c.labels);
        EXPECT_EQ(r.unsplittable.size(), c.unsplittable);
    }
}

struct Averaging {
    const char* what;
    int32_t n;
    std::vector<NamePair> pairs;
    std::vector<float> scores;
    float min_score;
    int32_t max_size;
    std::vector<int32_t> labels;
    std::vector<std::pair<int32_t, int32_t>> held_back;
};

// Unpaired pairs count as -2 throughout.
TEST(Clusters, JoinWhereTheMeanBetweenIsHighEnough) {
    const std::vector<Averaging> cases = {
        {"single pairs: the score alone decides", 4, {{0, 1}, {2, 3}}, {0.5f, -1.5f}, -1, 10, {0, 0, 2, 3}, {}},
        {"a weak link between strong pairs no longer chains", 4, {{0, 1}, {2, 3}, {1, 2}}, {6, 6, 0}, -1, 10,
         {0, 0, 2, 2}, {}},
        // 2 and 0 paired, 2 and 1 not: mean of 3 and -2 is 0.5.
        {"one strong link and one unpaired pass together", 3, {{0, 1}, {0, 2}}, {6, 3}, 0, 10, {0, 0, 0}, {}},
        {"below the floor once the third is unpaired", 3, {{0, 1}, {0, 2}}, {6, 1}, 0, 10, {0, 0, 2}, {}},
        {"pairs between clusters all count", 4, {{0, 1}, {2, 3}, {0, 2}, {1, 3}, {0, 3}, {1, 2}},
         {5, 5, -1.5f, -1.5f, -1.5f, -1.5f}, -1.5f, 10, {0, 0, 0, 0}, {}},
        {"a pair given twice counts at its best", 3, {{0, 1}, {1, 2}, {0, 2}, {2, 0}}, {6, 2, -9, 2}, 0, 10,
         {0, 0, 0}, {}},
        {"the size limit holds back a join the scores make", 4, {{0, 1}, {2, 3}, {1, 2}, {0, 2}, {1, 3}, {0, 3}},
         {9, 9, 8, 8, 8, 8}, 0, 3, {0, 0, 2, 2}, {{0, 2}, {2, 2}}},
        {"a join the scores refuse is not reported for size", 4, {{0, 1}, {2, 3}, {1, 2}}, {9, 9, 8}, 1, 3,
         {0, 0, 2, 2}, {}},
        {"a self pair is ignored", 2, {{1, 1}, {0, 1}}, {9, -5}, 0, 10, {0, 1}, {}},
    };
    for (const Averaging& c : cases) {
        SCOPED_TRACE(c.what);
        const ClusterResult r = cluster_by_mean(c.n, c.pairs, c.scores, c.min_score, -2.0f, c.max_size);
        EXPECT_FALSE(r.out_of_memory);
        EXPECT_EQ(r.labels, c.labels);
        EXPECT_EQ(r.unsplittable, c.held_back);
    }
}

}  // namespace
}  // namespace talvik
