// The engine's pair scores against the reference score (engine/reference):
// the kinds of tradeouts both read from two words, the documented example's
// scores, the fuzzer's finds, and a few hundred random lists of names that
// are each other's variants, initials and nicknames, searched with floors,
// blocks, workers and row ranges as fuzz_scores searches them.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "pair_score_reference.h"
#include "score_case.h"
#include "talvik/match_rule.h"
#include "talvik/pair_score.h"
#include "table_builder.h"

using namespace std::literals;

namespace talvik {
namespace {

using talvik::testing::tag;

// Words joined by single spaces (appended: GCC 12 warns falsely on operator+).
std::string join(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words) {
        if (!out.empty()) out.push_back(' ');
        out.append(w);
    }
    return out;
}

struct KindCase {
    std::string_view word, via;
    FoundAs want;
};

void PrintTo(const KindCase& k, std::ostream* os) {
    *os << fuzz::escaped(k.word) << " ~ " << fuzz::escaped(k.via) << " as " << fuzz::detail::found_name(k.want);
}

class TradeoutKinds : public ::testing::TestWithParam<KindCase> {};

TEST_P(TradeoutKinds, EngineAndReferenceReadTheSameKind) {
    const KindCase& k = GetParam();
    EXPECT_EQ(reference::reference_kind(k.word, k.via), k.want);
    EXPECT_EQ(reference::reference_kind(k.via, k.word), k.want);
    EXPECT_EQ(tradeout_kind(k.word, k.via), k.want);
    EXPECT_EQ(tradeout_kind(k.via, k.word), k.want);
}

INSTANTIATE_TEST_SUITE_P(
    Words, TradeoutKinds,
    ::testing::Values(KindCase{"J", "John", FoundAs::initial}, KindCase{"j", "John", FoundAs::initial},
                      KindCase{"J.", "John", FoundAs::initial}, KindCase{"J", "J.", FoundAs::initial},
                      KindCase{"K", "John", FoundAs::tradeout}, KindCase{"J", "K", FoundAs::one_edit},
                      KindCase{"J,", "John", FoundAs::tradeout}, KindCase{"\xc3\xa9", "\xc3\xa9t\xc3\xa9", FoundAs::initial},
                      KindCase{"\xc3\x89", "\xc3\xa9t", FoundAs::two_edits},
                      KindCase{"\xff", "\xff" "abc", FoundAs::initial}, KindCase{"\xc3", "\xc3" "abc", FoundAs::initial},
                      KindCase{"\xc3", "\xc3\xa9", FoundAs::one_edit}, KindCase{"\xc3" "A", "\xc3" "AB", FoundAs::one_edit},
                      KindCase{"Xavier", "Xavjer", FoundAs::one_edit}, KindCase{"Xavier", "Xaiver", FoundAs::one_edit},
                      KindCase{"Xavier", "Xafjer", FoundAs::two_edits}, KindCase{"Xavier", "Xavierre", FoundAs::two_edits},
                      KindCase{"Robert", "Bob", FoundAs::tradeout}, KindCase{"Zo\xc3\xab", "Zoe", FoundAs::one_edit}));

// The example of docs/scores.md: its printed scores, to one decimal.
TEST(ScoreReference, GivesTheDocumentedScores) {
    std::vector<std::string> names = {"John Smith",     "John Smith", "Jon Smith",       "J Smith",
                                      "Xiomara Wojcik", "Xiomara Wojcik", "Anna Maria Berg", "Anna Berg",
                                      "Anna Sofia Berg"};
    for (int k = 0; k < 91; ++k) names.push_back(join({tag("Person", k), tag("Other", k)}));
    const std::vector<std::string_view> views(names.begin(), names.end());
    const TradeoutTablePtr table = build_tradeout_table(std::vector<std::pair<std::string, std::vector<std::string>>>{
        {"Jon", {"John"}}, {"John", {"Jon"}}});
    ASSERT_NE(table, nullptr);
    const reference::ScoreReference ref(views, *table);
    struct Want {
        int32_t i, j;
        double score;
    };
    for (const Want& w : {Want{0, 1, 3.6}, Want{0, 2, 2.5}, Want{4, 5, 4.6}, Want{6, 7, 2.5}, Want{7, 8, 2.5}}) {
        EXPECT_NEAR(ref.score(w.i, w.j).score, w.score, 0.05) << w.i << ", " << w.j;
    }
}

namespace fz = talvik::fuzz;

struct Find {
    const char* what;
    std::string_view input;
};

const Find kFinds[] = {
    {"a lone invalid byte (\\xff, \\xc3) was no initial to the engine, its lead byte read as that of a longer "
     "sequence; and \\xc3A was one, two bytes read as one code point (the find, cut down to its names)",
     "\x00\x00\x00\xff\x00\x00\x15\x03\xc6\xc1Z\x03\xc6\x16\x03\xc6\x18\x03\xc6\xc1\xc3\xc1" "A\x03\xc6"
     "\x17\x03\xc6\xc1\xff\xc1" "a\x03\xc6\xc1\xc3\xc1\xa9\xc1x\x03\xc6\xf0\xc1Z\x15\xc6\x15\xc0\xc1Z\xc6"
     "\x16\xc0\xc1\xc3\xc1\xa9\xc1x\x18\xc6\xc1\xc3\xc1\xa9\xc1x\x16\xc6\x18\xc0\xc1\xc3\xc1" "A\x16\xc6"
     "\xc1\xc3\xc1" "A\x18\xc6\x17\xc0\xc1\xff\xc1" "a\xc6\xc1\xff\xc1" "a\x17\xc6"sv},
};

TEST(ScoreFuzzRegressions, ScoredSearchAgreesWithTheReference) {
    for (const Find& find : kFinds) {
        SCOPED_TRACE(find.what);
        const fz::ScoreInput in = fz::decode_scored(find.input);
        EXPECT_EQ(fz::check_scores(in.c, in.mode), "") << fz::describe(in.c) << fz::describe(in.mode);
    }
}

// Words that stand for each other in every way the score tells apart, and
// rare words that weigh more.
const std::vector<std::vector<std::string>> kRelated = {
    {"Robert", "Rob", "Bob", "Bobby", "R", "r", "R.", "Roberta"},
    {"John", "Jon", "Jhon", "J", "j", "Joan", "Johann"},
    {"Smith", "Smyth", "Smithe", "S", "Schmidt"},
    {"Anna", "Ann", "A", "Annie", "Hanna"},
    {"Zo\xc3\xab", "Zoe", "Z", "\xc3\xa9", "\xc3\xa9t\xc3\xa9"},
    {"\xff", "\xff" "a", "\xc3", "\xc3" "A", "\xc3\xa9"},
    {"Maria", "Marie", "Mary", "M", "Mari"},
};

fz::Case random_case(std::mt19937& rng) {
    const auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    const auto word = [&]() -> std::string {
        if (pick(4) == 0) return tag("u", static_cast<int>(pick(30)));
        const auto& group = kRelated[pick(kRelated.size())];
        return group[pick(group.size())];
    };
    fz::Case c;
    const size_t n = 2 + pick(60);
    for (size_t i = 0; i < n; ++i) {
        if (i > 0 && pick(3) == 0) {
            // A copy of an earlier name with one word changed, dropped or added.
            std::string name = c.names[pick(i)];
            std::vector<std::string> words;
            for_each_word(name, [&](std::string_view w) { words.emplace_back(w); });
            const size_t at = pick(words.size() + 1);
            const size_t what = pick(3);
            if (what == 0 || words.empty()) {
                words.insert(words.begin() + static_cast<std::ptrdiff_t>(at), word());
            } else if (what == 1 && at < words.size()) {
                words.erase(words.begin() + static_cast<std::ptrdiff_t>(at));
            } else {
                words[std::min(at, words.size() - 1)] = word();
            }
            c.names.push_back(join(words));
            continue;
        }
        std::vector<std::string> words(1 + pick(5));
        for (std::string& w : words) w = word();
        c.names.push_back(join(words));
    }
    // Tradeouts within each group, some one way, some both.
    for (const auto& group : kRelated) {
        for (const std::string& key : group) {
            if (pick(3) == 0) continue;
            std::vector<std::string> list;
            for (const std::string& w : group) {
                if (w != key && pick(2) == 0) list.push_back(w);
            }
            if (pick(8) == 0) list.push_back(key);
            c.entries.emplace_back(key, std::move(list));
        }
    }
    const auto span = static_cast<int32_t>(n) + 2;
    c.first_row = static_cast<int32_t>(rng() % static_cast<uint32_t>(span));
    c.last_row = pick(4) == 0 ? INT32_MAX : static_cast<int32_t>(rng() % static_cast<uint32_t>(span));
    c.min_second = static_cast<int32_t>(rng() % static_cast<uint32_t>(span));
    return c;
}

class RandomLists : public ::testing::TestWithParam<uint32_t> {};

TEST_P(RandomLists, ScoresAgreeWithTheReference) {
    std::mt19937 rng(GetParam());
    int32_t pairs = 0;
    for (int k = 0; k < 40; ++k) {
        const fz::Case c = random_case(rng);
        const uint8_t m = static_cast<uint8_t>(rng());
        const uint8_t x = static_cast<uint8_t>(rng());
        const fz::ScoreMode mode = fz::decode_score_mode(m, x);
        const std::string report = fz::check_scores(c, mode);
        ASSERT_EQ(report, "") << "case " << k << "\n" << fz::describe(c) << fz::describe(mode);
        pairs += static_cast<int32_t>(reference::every_pair(std::vector<std::string_view>(c.names.begin(), c.names.end()),
                                                             *fz::build_table(c)).size());
    }
    // Lists that matched nothing would check nothing.
    EXPECT_GT(pairs, 200);
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomLists, ::testing::Values(1u, 2u, 3u, 5u, 8u, 13u, 21u, 34u));

}  // namespace
}  // namespace talvik
