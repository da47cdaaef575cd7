#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "match_validation.h"
#include "pair_search.h"
#include "table_builder.h"

using namespace std::literals;
using talvik::testing::build_table;

namespace talvik {
namespace {

using Pairs = std::vector<std::pair<int32_t, int32_t>>;

struct SearchRun {
    SearchError error;
    Pairs pairs;  // worker 0's pairs, then worker 1's, ...
    std::vector<int32_t> per_worker;
    int32_t rows_skipped;
};

SearchRun run_search(const std::vector<std::string>& names, const TradeoutTable& table, int32_t threads,
               int64_t max_pairs = NamePairSet::default_max_capacity,
               SearchStrategy strategy = SearchStrategy::indexed) {
    std::vector<std::string_view> views(names.begin(), names.end());
    std::vector<NamePairSet> sets = make_thread_results(threads);
    EXPECT_EQ(sets.size(), static_cast<size_t>(threads));
    PairSearchContext ctx;
    ctx.tt = &table;
    ctx.name_ptrs = views.data();
    ctx.n_names = static_cast<int32_t>(views.size());
    ctx.thread_results = sets.data();
    ctx.max_pairs_per_set = max_pairs;
    ctx.strategy = strategy;
    SearchRun run{search_name_pairs(ctx, threads), {}, {}, ctx.rows_skipped.load()};
    for (const NamePairSet& set : sets) {
        run.per_worker.push_back(set.count());
        for (int32_t k = 0; k < set.count(); ++k) run.pairs.emplace_back(set[k].name1, set[k].name2);
    }
    EXPECT_EQ(ctx.status.load(), run.error == SearchError::none ? PairSearchContext::running
                                                                : PairSearchContext::stopped);
    return run;
}

std::vector<std::string> random_names(size_t n, unsigned seed) {
    static const char* first[] = {"Bob", "Robert", "Rob", "Ann", "Anna", "J", "John", "Jack", "Mary"};
    static const char* last[] = {"Smith", "Jones", "Lee", "Brown", "Smith-Jones"};
    std::mt19937 rng(seed);
    std::vector<std::string> names;
    for (size_t k = 0; k < n; ++k) {
        std::string name = first[rng() % 9];
        if (rng() % 3 == 0) name += std::string(" ") + first[rng() % 9];
        name += std::string(rng() % 4 == 0 ? "  " : " ") + last[rng() % 5];
        if (rng() % 10 == 0) name = "Solo";
        names.push_back(name);
    }
    return names;
}

TradeoutTablePtr nickname_table() {
    return build_table({{"Bob", {"Robert", "Rob"}},
                        {"Robert", {"Bob"}},
                        {"J", {"J", "John", "Jack"}},
                        {"Anna", {"Ann"}}});
}

TEST(PairSearch, SingleWorkerOrderAndCompleteness) {
    auto table = nickname_table();
    const auto names = random_names(300, 7);
    SearchRun run = run_search(names, *table, 1);
    ASSERT_EQ(run.error, SearchError::none);
    Pairs expected;
    for (int32_t i = 0; i < 300; ++i) {
        for (int32_t j = i + 1; j < 300; ++j) {
            if (validate_match(names[i], names[j], *table)) expected.emplace_back(i, j);
        }
    }
    ASSERT_GT(expected.size(), 1000u);  // the set had to grow past its first 1000 pairs
    EXPECT_EQ(run.pairs, expected);     // rows in order, j increasing within a row
}

TEST(PairSearch, ManyWorkersFindTheSameMultiset) {
    auto table = nickname_table();
    const auto names = random_names(500, 11);
    SearchRun one = run_search(names, *table, 1);
    for (int32_t threads : {2, 3, 8}) {
        SearchRun many = run_search(names, *table, threads);
        ASSERT_EQ(many.error, SearchError::none);
        EXPECT_EQ(many.per_worker.size(), static_cast<size_t>(threads));
        Pairs sorted = many.pairs;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, one.pairs) << threads << " threads";
        for (auto [i, j] : many.pairs) EXPECT_LT(i, j);
    }
}

// Awkward words on purpose: NUL and tab inside words, repeats, long words, and
// tradeouts that are no word of any name, empty, or the key itself.
TEST(PairSearch, IndexedSearchEqualsEveryPair) {
    const std::vector<std::string> vocab = {"A", "B", "C", "Bob", "Robert", "x\0y"s, "x", "a\tb",
                                            std::string(1500, 'w'), "\xC3\xA9"};
    for (unsigned seed = 1; seed <= 40; ++seed) {
        std::mt19937 rng(seed);
        auto pick = [&] { return vocab[rng() % vocab.size()]; };
        std::vector<std::string> names;
        for (int k = 0; k < 60; ++k) {
            std::string name = rng() % 4 ? "" : " ";
            for (unsigned w = rng() % 6; w > 0; --w) name += pick() + (rng() % 3 ? " " : "  ");
            names.push_back(name);
        }
        talvik::testing::Entries entries;
        for (unsigned e = rng() % 6; e > 0; --e) {
            std::vector<std::string> words;
            for (unsigned t = rng() % 4; t > 0; --t) words.push_back(rng() % 5 ? pick() : rng() % 2 ? "" : "zz");
            entries.push_back({pick(), words});
        }
        auto table = build_table(entries);
        SearchRun expected = run_search(names, *table, 1, NamePairSet::default_max_capacity,
                                        SearchStrategy::every_pair);
        EXPECT_EQ(run_search(names, *table, 1).pairs, expected.pairs) << "seed " << seed;
        Pairs many = run_search(names, *table, 3).pairs;
        std::sort(many.begin(), many.end());
        EXPECT_EQ(many, expected.pairs) << "seed " << seed;
    }
}

TEST(PairSearch, SmallInputs) {
    auto table = make_tradeout_table(0);
    struct Case {
        std::vector<std::string> names;
        Pairs expected;
    } cases[] = {
        {{"A B"}, {}},
        {{"A B", "A B"}, {{0, 1}}},  // equal names at two indices are a pair
        {{"B X", "X B", "C D"}, {{0, 1}}},
        {{"A", "A", "A B"}, {}},
    };
    for (const auto& c : cases) {
        for (int32_t threads : {1, 4}) {  // 4 workers on 1 row: three never claim one
          for (auto strategy : {SearchStrategy::indexed, SearchStrategy::every_pair}) {
            SearchRun run = run_search(c.names, *table, threads, NamePairSet::default_max_capacity, strategy);
            EXPECT_EQ(run.error, SearchError::none);
            Pairs sorted = run.pairs;
            std::sort(sorted.begin(), sorted.end());
            EXPECT_EQ(sorted, c.expected);
          }
        }
    }
}

TEST(PairSearch, GrowthFailureStopsTheSearch) {
    auto table = make_tradeout_table(0);
    // Every pair matches; row 0 alone offers 2100 pairs, more than the limit.
    const std::vector<std::string> names(2101, "A B");
    SearchRun one = run_search(names, *table, 1, 2000);
    EXPECT_EQ(one.error, SearchError::pair_set_full);
    EXPECT_EQ(one.pairs.size(), 2000u);  // the set keeps what it had
    EXPECT_EQ(one.pairs.back(), std::make_pair(0, 2000));
    EXPECT_EQ(one.rows_skipped, 2100);  // every later row skipped

    SearchRun many = run_search(names, *table, 4, 2000);
    EXPECT_EQ(many.error, SearchError::pair_set_full);
    EXPECT_GT(many.rows_skipped, 2000);
    for (int32_t count : many.per_worker) EXPECT_LE(count, 2000);
}

TEST(NamePairSet, GrowsByDoublingAndKeepsOrder) {
    NamePairSet set;
    ASSERT_TRUE(set.ok());
    EXPECT_EQ(set.capacity(), 1000);
    for (int32_t k = 0; k < 1001; ++k) ASSERT_TRUE(set.append({k, k + 1}));
    EXPECT_EQ(set.capacity(), 2000);
    for (int32_t k = 0; k < 1001; ++k) ASSERT_EQ(set[k].name1, k);

    NamePairSet capped;
    for (int32_t k = 0; k < 1000; ++k) ASSERT_TRUE(capped.append({k, k}, 1000));
    EXPECT_FALSE(capped.append({1, 2}, 1999));
    EXPECT_EQ(capped.count(), 1000);
    EXPECT_EQ(capped.capacity(), 1000);
}

TEST(PairSearch, WorkerCountIsCapped) {
    EXPECT_EQ(worker_count(8, 3), 3);
    EXPECT_EQ(worker_count(8, 0), 1);
    EXPECT_EQ(worker_count(2, 100), 2);
    EXPECT_LE(worker_count(2'000'000'000, 2'000'000'000), 1024);
    EXPECT_TRUE(make_thread_results(-1).empty());
}

}  // namespace
}  // namespace talvik
