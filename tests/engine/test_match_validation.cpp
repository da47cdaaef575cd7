#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "talvik/match_rule.h"
#include "table_builder.h"
#include "tradeout_slots.h"

using namespace std::literals;
using talvik::testing::build_table;
using talvik::testing::tag;
using talvik::testing::Entries;

namespace talvik {
namespace {

TEST(Words, CountAndCut) {
    struct Case {
        std::string_view name;
        std::vector<std::string_view> words;
    } cases[] = {
        {"", {}},
        {"   ", {}},
        {"A", {"A"}},
        {"  A   B  ", {"A", "B"}},
        {"A\tB", {"A\tB"}},          // only the ASCII space separates
        {"A\0B C"sv, {"A\0B"sv, "C"}},  // NUL is an ordinary byte
        {"\xC2\xA0 x", {"\xC2\xA0", "x"}},
        {"x  y z", {"x", "y", "z"}},
    };
    auto empty = make_tradeout_table(0);
    for (const auto& c : cases) {
        ASSERT_EQ(count_words(c.name), static_cast<int32_t>(c.words.size())) << c.name;
        if (c.words.size() < 2) continue;
        // The rule sees exactly these words: the same words, in any order, match.
        std::string forward, backward;
        for (size_t k = 0; k < c.words.size(); ++k) {
            forward += std::string(k ? " " : "") + std::string(c.words[k]);
            backward += std::string(k ? " " : "") + std::string(c.words[c.words.size() - 1 - k]);
        }
        EXPECT_TRUE(validate_match(c.name, forward, *empty)) << c.name;
        EXPECT_TRUE(validate_match(c.name, backward, *empty)) << c.name;
    }
}

struct RuleCase {
    std::string_view name1, name2;
    bool match;
};

void check_symmetric(const std::vector<RuleCase>& cases, const TradeoutTable& table) {
    for (const auto& c : cases) {
        EXPECT_EQ(validate_match(c.name1, c.name2, table), c.match) << c.name1 << " | " << c.name2;
        EXPECT_EQ(validate_match(c.name2, c.name1, table), c.match) << c.name2 << " | " << c.name1;
    }
}

TEST(ValidateMatch, RuleWithoutTradeouts) {
    auto empty = make_tradeout_table(0);  // no tradeouts at all
    auto unrelated = build_table({{"Q", {"R"}}});
    const std::vector<RuleCase> cases = {
        {"A B", "B A", true},
        {"A B", "A C", false},
        {"A", "A", false},
        {"", "", false},
        {"   ", "A B", false},
        {"  A   B ", "A B", true},
        {"A\tB", "A\tB", false},
        {"a b", "A B", false},
        {"A B C", "A C", true},
        {"A B C", "A C D", false},
        {"A B C", "A C D E", false},
        {"A B C D", "A C E F", true},
        {"A B C D", "A B C", true},
        {"A B C D", "A B E", false},
        {"A A", "A B", false},
        {"A A", "A A B", true},
        {"A B", "A B", true},
        {"\xC3\xA9 b", "b \xC3\xA9", true},
    };
    check_symmetric(cases, *empty);
    check_symmetric(cases, *unrelated);
}

TEST(ValidateMatch, TradeoutsAreDirectional) {
    auto one_way = build_table({{"X", {"Y"}}});
    check_symmetric({{"X B", "Y B", false}}, *one_way);  // found1 = 2, found2 = 1

    auto both_ways = build_table({{"X", {"Y"}}, {"Y", {"X"}}});
    check_symmetric({{"X B", "Y B", true}, {"X B", "B Y", true}}, *both_ways);

    // A tradeout may equal any word of the other name; empty tradeouts never match.
    auto table = build_table({{"Bob", {"", "Robert"}}, {"Robert", {"Bob"}}, {"Jr", {}}});
    check_symmetric({{"Bob Smith", "Smith Robert", true},
                     {"Bob Smith Jr", "Robert Smith", true},
                     {"Bob Smith Jr", "Robert Smith X", false},
                     {"Bob Smith", "Smith", false}},
                    *table);
}

TEST(ValidateMatch, NulBytesAndLongWordsCompareWhole) {
    const std::string w1 = std::string(1023, 'a') + "X";
    const std::string w2 = std::string(1023, 'a') + "Y";
    const std::string n1 = w1 + " B", n2 = w2 + " B", n1again = "B " + w1;
    auto table = build_table({{"Z", {w1}}, {w1, {"Z"}}});
    check_symmetric({{n1, n2, false}, {n1, n1again, true}, {"Z B", n1, true}}, *table);

    auto none = make_tradeout_table(0);
    check_symmetric({{"A\0 B"sv, "A B"sv, false},
                     {"A\0 B"sv, "B A\0"sv, true},
                     {"A\0B C"sv, "A\0B C"sv, true}},
                    *none);
}

// Expected found-count requirement (need1, need2) for word counts c1, c2.
std::pair<int, int> needs(int c1, int c2) {
    auto k = [](int c) { return c == 2 ? 0 : c == 3 ? 1 : 2; };
    static const std::pair<int, int> table[3][3] = {
        //  2 words    3 words   4 or more      <- name2
        {{2, 2}, {2, 2}, {2, 2}},  // name1: 2 words
        {{2, 2}, {3, 3}, {3, 2}},  // name1: 3 words
        {{2, 2}, {2, 3}, {2, 2}},  // name1: 4 or more
    };
    return table[k(c1)][k(c2)];
}

// Names of c1 and c2 words in which exactly f1 positions of name1 and f2 of
// name2 are found: shared words count for both, and one-way tradeouts add to
// one side only.
struct Built {
    std::string name1, name2;
    Entries entries;
};

Built build_pair(int c1, int c2, int f1, int f2) {
    Built b;
    std::vector<std::string> w1, w2;
    const int shared = std::min(f1, f2);
    for (int k = 0; k < shared; ++k) {
        w1.push_back(tag("S", k));
        w2.push_back(tag("S", k));
    }
    for (int k = 0; k < c1 - f1; ++k) w1.push_back(tag("U", k));
    for (int k = 0; k < c2 - f2; ++k) w2.push_back(tag("V", k));
    // Extra found words trade to a word that is already in the other name.
    for (int k = shared; k < f1; ++k) {
        w1.push_back(tag("P", k));
        b.entries.push_back({w1.back(), {w2.front()}});
    }
    for (int k = shared; k < f2; ++k) {
        w2.push_back(tag("R", k));
        b.entries.push_back({w2.back(), {w1.front()}});
    }
    for (const auto& w : w1) b.name1 += w + " ";
    for (const auto& w : w2) b.name2 += " " + w;
    return b;
}

TEST(ValidateMatch, ThresholdTable) {
    for (int c1 = 2; c1 <= 6; ++c1) {
        for (int c2 = 2; c2 <= 6; ++c2) {
            const auto [need1, need2] = needs(c1, c2);
            for (int f1 = 0; f1 <= c1; ++f1) {
                for (int f2 = 0; f2 <= c2; ++f2) {
                    Built b = build_pair(c1, c2, f1, f2);
                    auto table = build_table(b.entries);
                    ASSERT_EQ(count_words(b.name1), c1);
                    ASSERT_EQ(count_words(b.name2), c2);
                    const bool expected = f1 >= need1 && f2 >= need2;
                    EXPECT_EQ(validate_match(b.name1, b.name2, *table), expected)
                        << b.name1 << "|" << b.name2 << " c=" << c1 << "," << c2
                        << " f=" << f1 << "," << f2;
                    EXPECT_EQ(validate_match(b.name2, b.name1, *table), expected);
                }
            }
        }
    }
}

}  // namespace
}  // namespace talvik
