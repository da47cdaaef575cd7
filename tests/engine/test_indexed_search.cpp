// The indexed search against a plain double loop over validate_match, on
// random inputs shaped to reach every path of the candidate search.
#include <gtest/gtest.h>

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
using talvik::testing::tag;

namespace talvik {
namespace {

using Pairs = std::vector<std::pair<int32_t, int32_t>>;

Pairs brute_force(const std::vector<std::string>& names, const TradeoutTable& table) {
    Pairs pairs;
    for (int32_t i = 0; i < static_cast<int32_t>(names.size()); ++i) {
        for (int32_t j = i + 1; j < static_cast<int32_t>(names.size()); ++j) {
            if (validate_match(names[i], names[j], table)) pairs.emplace_back(i, j);
        }
    }
    return pairs;
}

// The pairs in row order, as the module reads them.
Pairs indexed(const std::vector<std::string>& names, const TradeoutTable& table, int32_t threads) {
    std::vector<std::string_view> views(names.begin(), names.end());
    std::vector<NamePairSet> sets = make_thread_results(threads);
    PairSearchContext ctx;
    ctx.tt = &table;
    ctx.name_ptrs = views.data();
    ctx.n_names = static_cast<int32_t>(views.size());
    ctx.thread_results = sets.data();
    EXPECT_EQ(search_name_pairs(ctx, threads), SearchError::none);
    Pairs pairs;
    for_each_pair_in_row_order(ctx, [&](NamePair p) { pairs.emplace_back(p.name1, p.name2); });
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
        {"long names beside short ones", 10, 150, 4, 15, 2, 8},
        {"every shape at once", 8, 200, 6, 5, 12, 12},
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
