// The indexed search against the every-pair reference, on random inputs
// shaped to reach every path of the candidate search, and the entry point's
// options: teams, row ranges, links, counts, groups, stopping and failure.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "every_pair.h"
#include "talvik/find_pairs.h"
#include "talvik/match_rule.h"
#include "table_builder.h"
#include "tradeout_slots.h"

using namespace std::literals;
using talvik::testing::build_table;
using talvik::testing::tag;

namespace talvik {
namespace {

using Pairs = std::vector<std::pair<int32_t, int32_t>>;

std::vector<std::string_view> views_of(const std::vector<std::string>& names) {
    return {names.begin(), names.end()};
}

Pairs to_pairs(const std::vector<NamePair>& found) {
    Pairs pairs;
    for (NamePair p : found) pairs.emplace_back(p.name1, p.name2);
    return pairs;
}

Pairs brute_force(const std::vector<std::string>& names, const TradeoutTable& table) {
    return to_pairs(reference::every_pair(views_of(names), table));
}

// The pairs in row order, as every caller reads them.
Pairs indexed(const std::vector<std::string>& names, const TradeoutTable& table, int32_t threads,
              SearchOptions options = {}) {
    options.threads = threads;
    const auto views = views_of(names);
    PairResult result = find_pairs(views, table, options);
    EXPECT_EQ(result.error(), SearchError::none);
    Pairs pairs;
    result.for_each([&](NamePair p) { pairs.emplace_back(p.name1, p.name2); });
    EXPECT_EQ(result.count(), static_cast<int64_t>(pairs.size()));
    return pairs;
}

struct Shape {
    const char* what;
    int vocabulary;      // distinct ordinary words
    int names;
    int max_words;       // per ordinary name
    int long_percent;    // names of 10 to 20 words
    int max_tradeouts;   // per table entry
    int entries;
};

// Ordinary words, initials, and awkward bytes: NUL, tab, a long word, UTF-8.
std::vector<std::string> vocabulary_for(const Shape& shape) {
    std::vector<std::string> vocab;
    for (int k = 0; k < shape.vocabulary; ++k) vocab.push_back(tag("w", k));
    for (const char* w : {"A", "B", "J"}) vocab.emplace_back(w);
    for (std::string w : {"x\0y"s, "a\tb"s, std::string(1200, 'z'), "\xC3\xA9"s}) vocab.push_back(w);
    return vocab;
}

std::vector<std::string> random_names(const Shape& shape, const std::vector<std::string>& vocab,
                                      std::mt19937& rng) {
    auto word = [&] {
        // Skewed towards the first words, like real first names and surnames.
        const size_t k = rng() % 2 ? rng() % vocab.size() : rng() % (1 + vocab.size() / 4);
        return vocab[k];
    };
    std::vector<std::string> names;
    for (int k = 0; k < shape.names; ++k) {
        const bool is_long = static_cast<int>(rng() % 100) < shape.long_percent;
        const unsigned count = is_long ? 10 + rng() % 11 : rng() % (static_cast<unsigned>(shape.max_words) + 1);
        std::string name = rng() % 5 ? "" : " ";
        for (unsigned w = 0; w < count; ++w) {
            if (w > 0) name += rng() % 4 ? " " : "  ";
            // Repeated words: the previous word again, now and then.
            name += (w > 0 && rng() % 8 == 0) ? name.substr(name.rfind(' ') + 1) : word();
        }
        if (k > 0 && rng() % 6 == 0) name = names[rng() % names.size()];  // an exact repeat
        names.push_back(name);
    }
    return names;
}

// One-directional lists, keys repeated, the key itself in its list, words of
// no name, and initials standing for many words.
talvik::testing::Entries random_entries(const Shape& shape, const std::vector<std::string>& vocab,
                                        std::mt19937& rng) {
    talvik::testing::Entries entries;
    for (int e = 0; e < shape.entries; ++e) {
        std::string key = vocab[rng() % vocab.size()];
        std::vector<std::string> words;
        const unsigned count = rng() % (static_cast<unsigned>(shape.max_tradeouts) + 1);
        for (unsigned t = 0; t < count; ++t) {
            const unsigned kind = rng() % 10;
            words.push_back(kind == 0 ? key : kind == 1 ? "nowhere" : vocab[rng() % vocab.size()]);
        }
        entries.push_back({key, words});
    }
    return entries;
}

TEST(IndexedSearch, EqualsBruteForceInRowOrder) {
    const Shape shapes[] = {
        {"tiny vocabulary, most pairs partly match", 3, 120, 4, 0, 1, 3},
        {"census-like two- to four-word names", 40, 300, 4, 0, 3, 25},
        {"wide tradeout lists: postings are scanned", 30, 150, 5, 0, 25, 30},
        {"wide lists of common and rare words: some scanned, some looked up", 80, 500, 3, 0, 40, 80},
        {"long names beside short ones", 10, 150, 4, 15, 2, 8},
        {"every shape at once", 8, 200, 6, 5, 12, 12},
        {"long names over few words: rows check every later name", 4, 120, 3, 60, 4, 4},
    };
    for (const Shape& shape : shapes) {
        for (unsigned seed = 1; seed <= 12; ++seed) {
            std::mt19937 rng(seed);
            const auto vocab = vocabulary_for(shape);
            const auto names = random_names(shape, vocab, rng);
            const auto table = build_table(random_entries(shape, vocab, rng));
            const Pairs expected = brute_force(names, *table);
            for (int32_t threads : {1, 3}) {
                ASSERT_EQ(indexed(names, *table, threads), expected)
                    << shape.what << ", seed " << seed << ", " << threads << " threads";
            }
        }
    }
}

// Hand-made cases where a match hangs on one word finding two positions, or
// on one direction of a tradeout only.
TEST(IndexedSearch, Corners) {
    auto table = build_table({{"Bob", {"Robert"}}, {"Robert", {"Bob"}}, {"J", {"John", "Jack"}},
                              {"Liz", {"Elizabeth"}}});
    struct Case {
        std::vector<std::string> names;
        Pairs expected;
    } cases[] = {
        // A repeated word is two positions, found by one word of the other name.
        {{"Bob Bob", "Bob X Bob"}, {{0, 1}}},
        {{"Bob Bob", "Bob X Y Z"}, {}},
        // Two different words that both trade for the word of a one-word-twice name.
        {{"Bob Robert", "Robert Robert"}, {{0, 1}}},
        {{"Bob Robert", "Robert Smith"}, {}},
        // Initials go one way: "J Smith" finds John, "John Smith" cannot find J.
        {{"J Smith", "John Smith"}, {}},
        {{"J Smith", "John J Smith"}, {{0, 1}}},
        // Three words need three against three, two against two.
        {{"Liz Ann Moore", "Elizabeth Moore"}, {}},
        {{"Ann Liz Moore", "Ann Moore"}, {{0, 1}}},
        {{"Ann Q Moore", "Ann R Moore"}, {}},
        {{"Ann Q Moore", "Ann Q Moore Jr"}, {{0, 1}}},
        // Nine distinct words are left out of the pair index.
        {{"a b c d e f g h i", "a b", "b a", "q r"}, {{0, 1}, {0, 2}, {1, 2}}},
    };
    for (const auto& c : cases) {
        for (int32_t threads : {1, 2}) {
            EXPECT_EQ(indexed(c.names, *table, threads), c.expected) << c.names[0] << " / " << c.names[1];
        }
        EXPECT_EQ(brute_force(c.names, *table), c.expected) << c.names[0] << " / " << c.names[1];
    }
}

// Lists of one common word and many rare ones: a row's pair of words is
// gathered partly by lookups in the pair index and partly by reading
// postings, from either side, and a word repeated in a row pairs its list
// with itself. The same row early, in the middle and last sees more or
// fewer later names, and so reads or looks up differently.
TEST(IndexedSearch, ListsOfCommonAndRareWordsEqualBruteForce) {
    struct Case {
        const char* what;
        int rare;    // rare words in each list, each in one name
        int common;  // names holding each list's common word
        bool repeat;
    } cases[] = {
        {"few rare words", 4, 60, false},
        {"many rare words", 40, 200, false},
        {"a word repeated in its row", 10, 60, true},
        {"no word common", 30, 2, true},
    };
    for (const Case& c : cases) {
        // Both ways, so that each name can find the other.
        talvik::testing::Entries entries = {{"robert", {"bob"}}, {"smith", {"smyth"}}, {"bob", {"robert"}},
                                            {"smyth", {"smith"}}};
        std::vector<std::string> names = {"robert smith", "bob smith", "robert smyth", "bob smyth"};
        if (c.repeat) {
            for (const char* name : {"robert robert", "a1 a2", "bob a3", "bob bob", "a4 a4", "robert x"}) {
                names.emplace_back(name);
            }
        }
        for (int k = 0; k < c.rare; ++k) {
            entries[0].second.push_back(tag("a", k));
            entries[1].second.push_back(tag("b", k));
            entries.push_back({tag("a", k), {"robert"}});
            entries.push_back({tag("b", k), {"smith"}});
            names.push_back(tag("a", k) + " " + tag("b", k * 7 % c.rare));
            names.push_back("bob " + tag("b", k));
            names.push_back(tag("a", k) + " smyth");
        }
        for (int k = 0; k < c.common; ++k) {
            names.push_back("bob " + tag("s", k));
            names.push_back(tag("g", k) + " smyth");
            if (k == c.common / 2) names.emplace_back("robert smith");
        }
        names.emplace_back("robert smith");
        const auto table = build_table(entries);
        const Pairs expected = brute_force(names, *table);
        ASSERT_GT(expected.size(), static_cast<size_t>(c.rare)) << c.what;
        for (int32_t threads : {1, 2}) EXPECT_EQ(indexed(names, *table, threads), expected) << c.what;
    }
}

TEST(IndexedSearch, RowOrderHoldsForAnyTeam) {
    auto table = build_table({{"Bob", {"Robert", "Rob"}}, {"Robert", {"Bob"}}});
    std::vector<std::string> names;
    std::mt19937 rng(5);
    const char* first[] = {"Bob", "Robert", "Rob", "Ann"};
    const char* last[] = {"Smith", "Jones", "Lee"};
    for (int k = 0; k < 2000; ++k) names.push_back(std::string(first[rng() % 4]) + " " + last[rng() % 3]);
    const Pairs one = indexed(names, *table, 1);
    ASSERT_GT(one.size(), 100'000u);
    for (int32_t threads : {2, 5, 16}) EXPECT_EQ(indexed(names, *table, threads), one) << threads;
}

}  // namespace
}  // namespace talvik

namespace talvik {
namespace {

std::vector<std::string> nickname_names(size_t n, unsigned seed) {
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

// Awkward words on purpose: NUL and tab inside words, repeats, long words, and
// tradeouts that are no word of any name, empty, or the key itself.
TEST(FindPairs, AwkwardWordsEqualEveryPair) {
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
        const Pairs expected = brute_force(names, *table);
        for (int32_t threads : {1, 3}) EXPECT_EQ(indexed(names, *table, threads), expected) << "seed " << seed;
    }
}

TEST(FindPairs, SmallInputs) {
    auto table = make_tradeout_table(0);
    struct Case {
        std::vector<std::string> names;
        Pairs expected;
    } cases[] = {
        {{}, {}},
        {{"A B"}, {}},
        {{"A B", "A B"}, {{0, 1}}},  // equal names at two indices are a pair
        {{"B X", "X B", "C D"}, {{0, 1}}},
        {{"A", "A", "A B"}, {}},
    };
    for (const auto& c : cases) {
        for (int32_t threads : {1, 4}) EXPECT_EQ(indexed(c.names, *table, threads), c.expected);
        EXPECT_EQ(brute_force(c.names, *table), c.expected);
    }
}

// Row ranges, links and counts are slices of the one result, and a
// partition of the rows gives it back whole.
TEST(FindPairs, RangesLinksAndCountsAreSlicesOfTheWhole) {
    auto table = nickname_table();
    const auto names = nickname_names(700, 3);
    const auto views = views_of(names);
    auto built = SearchIndex::build(views, *table, 2);
    ASSERT_NE(built.index, nullptr);
    const Pairs whole = to_pairs(reference::every_pair(views, *table));
    ASSERT_GT(whole.size(), 1000u);
    struct Case {
        int32_t first, last, min_second;
    } cases[] = {{0, 700, 0}, {0, 64, 0}, {63, 65, 0}, {100, 401, 0}, {650, 2000, 0},
                 {-5, 10, 0}, {300, 300, 0}, {0, 300, 300}, {0, 700, 699}, {10, 20, 15}};
    for (const Case& c : cases) {
        const Pairs expected = to_pairs(reference::every_pair(views, *table, c.first, c.last, c.min_second));
        for (PairOutput output : {PairOutput::store, PairOutput::count}) {
            SearchOptions options;
            options.threads = 2;
            options.first_row = c.first;
            options.last_row = c.last;
            options.min_second = c.min_second;
            options.output = output;
            PairResult r = find_pairs(*built.index, options);
            ASSERT_TRUE(r.ok());
            EXPECT_EQ(r.count(), static_cast<int64_t>(expected.size())) << c.first << ".." << c.last;
            Pairs got;
            r.for_each([&](NamePair p) { got.emplace_back(p.name1, p.name2); });
            if (output == PairOutput::store) {
                EXPECT_EQ(got, expected) << c.first << ".." << c.last;
            } else {
                EXPECT_TRUE(got.empty());
            }
        }
    }
    Pairs joined;
    for (int32_t first = 0; first < 700; first += 97) {
        const Pairs part = indexed(names, *table, 2, SearchOptions{.first_row = first, .last_row = first + 97});
        joined.insert(joined.end(), part.begin(), part.end());
    }
    EXPECT_EQ(joined, whole);
}

// Components by a plain union-find over the reference pairs.
std::vector<int32_t> reference_labels(int32_t n, const Pairs& pairs) {
    std::vector<int32_t> parent(static_cast<size_t>(n));
    for (int32_t k = 0; k < n; ++k) parent[static_cast<size_t>(k)] = k;
    auto root = [&](int32_t x) {
        while (parent[static_cast<size_t>(x)] != x) x = parent[static_cast<size_t>(x)];
        return x;
    };
    for (auto [i, j] : pairs) {
        const int32_t a = root(i), b = root(j);
        parent[static_cast<size_t>(std::max(a, b))] = std::min(a, b);
    }
    std::vector<int32_t> labels(static_cast<size_t>(n));
    for (int32_t k = 0; k < n; ++k) labels[static_cast<size_t>(k)] = root(k);
    return labels;
}

TEST(FindPairs, GroupsAreTheComponentsLabelledByTheirSmallestName) {
    auto table = nickname_table();
    for (unsigned seed : {1u, 2u, 9u}) {
        const auto names = nickname_names(900, seed);
        const auto views = views_of(names);
        const auto expected = reference_labels(900, brute_force(names, *table));
        for (int32_t threads : {1, 2, 7}) {
            SearchOptions options;
            options.threads = threads;
            options.output = PairOutput::groups;
            PairResult r = find_pairs(views, *table, options);
            ASSERT_TRUE(r.ok());
            EXPECT_EQ(r.labels(), expected) << "seed " << seed << ", " << threads << " threads";
        }
    }
}

bool stop_at_once(void* calls) {
    ++*static_cast<int*>(calls);
    return false;
}

TEST(FindPairs, StopsOnTheTokenAndOnThePoll) {
    auto table = nickname_table();
    const auto names = nickname_names(20'000, 4);
    const auto views = views_of(names);
    StopToken token;
    token.request_stop();
    SearchOptions options;
    options.threads = 2;
    options.stop = &token;
    PairResult stopped = find_pairs(views, *table, options);
    EXPECT_EQ(stopped.error(), SearchError::stopped);
    EXPECT_EQ(stopped.count(), 0);

    int calls = 0;
    const Poll poll{stop_at_once, &calls, 1};
    Progress progress;
    options.stop = nullptr;
    options.poll = &poll;
    options.progress = &progress;
    PairResult polled = find_pairs(views, *table, options);
    // The poll comes at least once, however fast the rows are done, and its
    // answer stops the search.
    EXPECT_GE(calls, 1);
    EXPECT_EQ(polled.error(), SearchError::stopped);
    EXPECT_EQ(polled.count(), 0);
    options.poll = nullptr;
    progress.reset();
    PairResult whole = find_pairs(views, *table, options);
    ASSERT_TRUE(whole.ok());
    EXPECT_EQ(progress.rows_done(), 20'000);
}

TEST(FindPairs, GrowthFailureIsReported) {
    auto table = make_tradeout_table(0);
    // Every pair matches; row 0 alone offers 2100 pairs, more than the limit.
    const std::vector<std::string> names(2101, "A B");
    const auto views = views_of(names);
    for (int32_t threads : {1, 4}) {
        SearchOptions options;
        options.threads = threads;
        options.max_pairs_per_set = 2000;
        PairResult r = find_pairs(views, *table, options);
        EXPECT_EQ(r.error(), SearchError::too_many_pairs);
        int64_t seen = 0;
        r.for_each([&](NamePair) { ++seen; });
        EXPECT_EQ(seen, 0);  // a failed search hands out no partial result
    }
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

TEST(FindPairs, TeamIsCappedAtTheProcessors) {
    EXPECT_EQ(available_workers(0), 1);
    EXPECT_EQ(available_workers(-3), 1);
    EXPECT_GE(available_workers(1), 1);
    EXPECT_LE(available_workers(1 << 30), available_workers(1 << 20));
    auto table = nickname_table();
    const auto names = nickname_names(300, 5);
    PairResult r = find_pairs(views_of(names), *table, SearchOptions{.threads = 1 << 20});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.diagnostics().workers, std::min(available_workers(1 << 20), 5));  // 300 rows: 5 blocks
}

}  // namespace
}  // namespace talvik
