// The name index built on teams of several sizes and cut into chunks small
// enough that every loop runs over many of them: each list it exposes
// against the same list worked out plainly from the names' strings, the
// search over it against the reference, and stopping.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "candidate_search.h"
#include "every_pair.h"
#include "talvik/find_pairs.h"
#include "name_index.h"
#include "table_builder.h"

using namespace std::literals;
using talvik::testing::build_table;
using talvik::testing::tag;

namespace talvik {
namespace {

using Names = std::vector<std::string>;
using List = std::vector<int32_t>;

std::vector<std::string> tokens_of(const std::string& name) {
    std::vector<std::string> tokens;
    for (size_t p = 0; p < name.size();) {
        if (name[p] == ' ') {
            ++p;
            continue;
        }
        const size_t end = std::min(name.find(' ', p), name.size());
        tokens.push_back(name.substr(p, end - p));
        p = end;
    }
    return tokens;
}

struct Shape {
    const char* what;
    int vocabulary;
    int names;
    int max_words;
    int long_percent;  // names of 9 to 14 words
    int repeat_eighths;
};

// Skewed word choice, repeated words, doubled and leading spaces, empty
// names, long names, and words with NUL, tab and UTF-8 bytes.
Names random_names(const Shape& shape, std::mt19937& rng) {
    std::vector<std::string> vocab;
    for (int k = 0; k < shape.vocabulary; ++k) vocab.push_back(tag("w", k));
    for (std::string w : {"x\0y"s, "a\tb"s, "\xC3\xA9"s, std::string(40, 'q')}) vocab.push_back(w);
    Names names;
    for (int k = 0; k < shape.names; ++k) {
        const bool is_long = static_cast<int>(rng() % 100) < shape.long_percent;
        const unsigned count = is_long ? 9 + rng() % 6 : rng() % (static_cast<unsigned>(shape.max_words) + 1);
        std::string name = rng() % 4 ? "" : " ";
        std::string last;
        for (unsigned w = 0; w < count; ++w) {
            if (w > 0) name += rng() % 3 ? " " : "  ";
            const bool repeat = w > 0 && static_cast<int>(rng() % 8) < shape.repeat_eighths;
            if (!repeat) last = vocab[rng() % 2 ? rng() % vocab.size() : rng() % (1 + vocab.size() / 5)];
            name += last;
        }
        names.push_back(name);
    }
    return names;
}

// Some lists too long to search by looking back.
constexpr talvik::testing::EntryShape kEntries{.wide = true, .drawn_strays = false};

// The names' words by id, checking on the way that the index cuts every
// name into its words and gives equal words, and only those, one id.
std::vector<std::string> words_by_id(const NameIndex& index, const Names& names) {
    std::vector<std::string> by_id(static_cast<size_t>(index.word_count()));
    std::map<std::string, int32_t> id_of;
    for (size_t i = 0; i < names.size(); ++i) {
        const auto tokens = tokens_of(names[i]);
        const auto ids = index.words(static_cast<int32_t>(i));
        EXPECT_EQ(ids.size(), tokens.size()) << "name " << i;
        for (size_t p = 0; p < std::min(ids.size(), tokens.size()); ++p) {
            EXPECT_TRUE(ids[p] >= 0 && ids[p] < index.word_count());
            const auto [at, fresh] = id_of.emplace(tokens[p], ids[p]);
            EXPECT_EQ(at->second, ids[p]) << "one word, two ids";
            if (fresh) {
                EXPECT_TRUE(by_id[static_cast<size_t>(ids[p])].empty()) << "one id, two words";
                by_id[static_cast<size_t>(ids[p])] = tokens[p];
            }
        }
    }
    EXPECT_EQ(id_of.size(), by_id.size()) << "ids of no word";
    return by_id;
}

List as_list(std::span<const int32_t> s) { return {s.begin(), s.end()}; }

// Every word list of the index against the same list made from the strings.
void expect_word_lists(const NameIndex& index, const Names& names, const TradeoutTable& table) {
    const auto by_id = words_by_id(index, names);
    std::map<std::string, int32_t> id_of;
    for (size_t w = 0; w < by_id.size(); ++w) id_of[by_id[w]] = static_cast<int32_t>(w);
    std::vector<List> postings(by_id.size()), repeats(by_id.size()), longs(by_id.size()), from(by_id.size());
    for (size_t i = 0; i < names.size(); ++i) {
        const auto tokens = tokens_of(names[i]);
        const std::set<std::string> distinct(tokens.begin(), tokens.end());
        for (const std::string& t : distinct) {
            const auto w = static_cast<size_t>(id_of[t]);
            if (tokens.size() >= 2) postings[w].push_back(static_cast<int32_t>(i));
            if (std::count(tokens.begin(), tokens.end(), t) >= 2) repeats[w].push_back(static_cast<int32_t>(i));
            if (distinct.size() > NameIndex::max_pair_words) longs[w].push_back(static_cast<int32_t>(i));
        }
    }
    bool any_long = false;
    for (size_t w = 0; w < by_id.size(); ++w) {
        const auto id = static_cast<int32_t>(w);
        std::set<int32_t> expected_trades;
        if (const MatchList* list = tradeout_table_lookup(table, by_id[w])) {
            for (std::string_view t : list->words) {
                const auto at = id_of.find(std::string(t));
                if (at != id_of.end() && at->second != id) expected_trades.insert(at->second);
            }
        }
        const List trades = as_list(index.tradeouts(id));
        EXPECT_EQ(std::set<int32_t>(trades.begin(), trades.end()), expected_trades) << by_id[w];
        EXPECT_EQ(trades.size(), expected_trades.size()) << "a tradeout listed twice: " << by_id[w];
        int64_t reach = static_cast<int64_t>(postings[w].size());
        for (int32_t t : trades) {
            reach += static_cast<int64_t>(postings[static_cast<size_t>(t)].size());
            from[static_cast<size_t>(t)].push_back(id);
        }
        EXPECT_EQ(index.reach(id), reach) << by_id[w];
        EXPECT_EQ(as_list(index.postings(id)), postings[w]) << by_id[w];
        EXPECT_EQ(as_list(index.repeat_postings(id)), repeats[w]) << by_id[w];
        if (index.has_long_names()) {
            EXPECT_EQ(as_list(index.long_postings(id)), longs[w]) << by_id[w];
        }
        any_long |= !longs[w].empty();
    }
    EXPECT_EQ(index.has_long_names(), any_long);
    for (size_t w = 0; w < by_id.size(); ++w) EXPECT_EQ(as_list(index.traded_from(static_cast<int32_t>(w))), from[w]);
}

// Every pair list, and pairs that no name holds, against the strings.
void expect_pair_lists(const NameIndex& index, const Names& names) {
    ASSERT_TRUE(index.has_pair_index());
    std::map<std::tuple<int32_t, int32_t, bool>, List> pairs;
    for (size_t i = 0; i < names.size(); ++i) {
        const auto ids = index.words(static_cast<int32_t>(i));
        const std::set<int32_t> distinct(ids.begin(), ids.end());
        if (distinct.size() < 2 || distinct.size() > NameIndex::max_pair_words) continue;
        for (auto a = distinct.begin(); a != distinct.end(); ++a) {
            for (auto b = std::next(a); b != distinct.end(); ++b) {
                pairs[{*a, *b, ids.size() > 2}].push_back(static_cast<int32_t>(i));
            }
        }
    }
    for (const auto& [key, list] : pairs) {
        const auto [a, b, longer] = key;
        EXPECT_EQ(as_list(index.pair_postings(a, b, longer)), list);
        EXPECT_EQ(as_list(index.pair_postings(b, a, longer)), list);
        if (!pairs.contains({a, b, !longer})) {
            EXPECT_TRUE(index.pair_postings(a, b, !longer).empty());
        }
    }
}

NameIndexBuilt build(const std::vector<std::string_view>& views, const TradeoutTable& table, int32_t workers,
                     int32_t chunk, const StopToken* stop = nullptr, const Poll* poll = nullptr) {
    NameIndexOptions options;
    options.workers = workers;
    options.chunk = chunk;
    options.stop = stop;
    options.poll = poll;
    return NameIndex::build(views.data(), static_cast<int32_t>(views.size()), table, options);
}

const Shape kShapes[] = {
    {"tiny vocabulary: few words, long lists", 3, 150, 4, 0, 1},
    {"census-like two- to four-word names", 60, 400, 4, 0, 1},
    {"long names beside short ones", 12, 200, 5, 20, 2},
    {"names that repeat their words", 8, 200, 20, 0, 5},
    {"a large vocabulary: most words seen once", 3000, 500, 3, 2, 0},
};
const int32_t kWorkers[] = {1, 2, 7};
const int32_t kChunks[] = {1, 3, 64, 16384};

TEST(NameIndex, ListsEqualThoseOfTheStringsForAnyTeamAndChunk) {
    std::mt19937 rng(20240611);
    for (const Shape& shape : kShapes) {
        const Names names = random_names(shape, rng);
        const std::vector<std::string_view> views(names.begin(), names.end());
        auto table = build_table(random_entries(shape.vocabulary / 2 + 3, shape.vocabulary, rng, kEntries));
        for (int32_t workers : kWorkers) {
            for (int32_t chunk : kChunks) {
                SCOPED_TRACE(::testing::Message() << shape.what << ", " << workers << " workers, chunk " << chunk);
                NameIndexBuilt built = build(views, *table, workers, chunk);
                ASSERT_EQ(built.error, SearchError::none);
                expect_word_lists(*built.index, names, *table);
                expect_pair_lists(*built.index, names);
            }
        }
    }
}

// The pair bits never turn away a pair some name holds (the lists above
// would then be empty), and in a large vocabulary they turn away most that
// none holds: what spares the search its reads of the pair table.
TEST(NameIndex, PairBitsTurnAwayMostPairsThatNoNameHolds) {
    std::mt19937 rng(11);
    const Names names = random_names(kShapes[4], rng);
    const std::vector<std::string_view> views(names.begin(), names.end());
    auto table = build_table({});
    const NameIndexBuilt built = build(views, *table, 2, 64);
    ASSERT_NE(built.index, nullptr);
    const NameIndex& index = *built.index;
    std::set<std::pair<int32_t, int32_t>> held;
    for (size_t i = 0; i < names.size(); ++i) {
        const auto ids = index.words(static_cast<int32_t>(i));
        if (ids.size() != 2) continue;
        held.insert(std::minmax(ids[0], ids[1]));
        EXPECT_TRUE(index.may_pair(ids[0], ids[1], false));
        EXPECT_TRUE(index.may_pair(ids[1], ids[0], false));
    }
    int64_t absent = 0, let_through = 0;
    for (int32_t a = 0; a < index.word_count(); ++a) {
        for (int32_t b = a + 1; b < index.word_count(); ++b) {
            if (held.contains({a, b})) continue;
            ++absent;
            let_through += index.may_pair(a, b, false);
        }
    }
    ASSERT_GT(absent, 100000);
    EXPECT_LT(let_through * 10, absent) << let_through << " of " << absent;
}

// Ids follow the names alone, so a debugging session sees the same index
// whatever the team that built it.
TEST(NameIndex, IdsDependOnTheNamesAlone) {
    std::mt19937 rng(7);
    const Names names = random_names(kShapes[1], rng);
    const std::vector<std::string_view> views(names.begin(), names.end());
    auto table = build_table({});
    const NameIndexBuilt first = build(views, *table, 1, 16384);
    ASSERT_NE(first.index, nullptr);
    for (int32_t workers : kWorkers) {
        for (int32_t chunk : kChunks) {
            const NameIndexBuilt other = build(views, *table, workers, chunk);
            ASSERT_NE(other.index, nullptr);
            for (size_t i = 0; i < names.size(); ++i) {
                ASSERT_EQ(as_list(other.index->words(static_cast<int32_t>(i))),
                          as_list(first.index->words(static_cast<int32_t>(i))))
                    << workers << " workers, chunk " << chunk << ", name " << i;
            }
        }
    }
}

TEST(NameIndex, SearchOverManyChunksEqualsEveryPair) {
    std::mt19937 rng(99);
    for (const Shape& shape : kShapes) {
        const Names names = random_names(shape, rng);
        const std::vector<std::string_view> views(names.begin(), names.end());
        auto table = build_table(random_entries(shape.vocabulary / 2 + 3, shape.vocabulary, rng, kEntries));
        std::vector<NamePair> expected = reference::every_pair(views, *table);
        for (int32_t workers : kWorkers) {
            SCOPED_TRACE(::testing::Message() << shape.what << ", " << workers << " workers");
            NameIndexBuilt built = build(views, *table, workers, 3);
            ASSERT_NE(built.index, nullptr);
            RowSearch search(*built.index, static_cast<int32_t>(names.size()));
            std::vector<NamePair> found;
            for (int32_t i = 0; i < static_cast<int32_t>(names.size()); ++i) {
                for (int32_t j : search.match(i, 0)) found.push_back(NamePair{i, j});
            }
            ASSERT_EQ(found.size(), expected.size());
            for (size_t k = 0; k < found.size(); ++k) {
                EXPECT_TRUE(found[k].name1 == expected[k].name1 && found[k].name2 == expected[k].name2) << k;
            }
        }
    }
}

TEST(NameIndex, EmptyAndWordlessNames) {
    auto table = build_table({{"a", {"b"}}});
    for (const Names& names : {Names{}, Names{""}, Names{"   ", "", " "}, Names{"a", " a ", "b"}}) {
        const std::vector<std::string_view> views(names.begin(), names.end());
        for (int32_t workers : kWorkers) {
            NameIndexBuilt built = build(views, *table, workers, 1);
            ASSERT_NE(built.index, nullptr);
            expect_word_lists(*built.index, names, *table);
            expect_pair_lists(*built.index, names);
        }
    }
}

bool stop_at_once(void*) { return false; }

TEST(NameIndex, StopsOnTheTokenAndOnThePoll) {
    std::mt19937 rng(5);
    Shape big = kShapes[1];
    big.names = 60000;
    const Names names = random_names(big, rng);
    const std::vector<std::string_view> views(names.begin(), names.end());
    auto table = build_table({});
    StopToken token;
    token.request_stop();
    for (int32_t workers : kWorkers) {
        NameIndexBuilt built = build(views, *table, workers, 64, &token);
        EXPECT_EQ(built.error, SearchError::stopped);
        EXPECT_EQ(built.index, nullptr);
        EXPECT_EQ(SearchIndex::build(views, *table, workers, &token).error, SearchError::stopped);
    }
    // Every step of the build polls at least once, however fast it is, and
    // the first answer stops the build.
    const Poll poll{stop_at_once, nullptr, 1};
    for (int32_t workers : kWorkers) {
        NameIndexBuilt built = build(views, *table, workers, 16, nullptr, &poll);
        EXPECT_EQ(built.error, SearchError::stopped);
        EXPECT_EQ(built.index, nullptr);
    }
}

}  // namespace
}  // namespace talvik
