// The saved index: written, opened again from memory and from a file, and
// searched to the same pairs; every kind of damage refused with its own
// error; lookups of new names against the rule pair by pair.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "crc32c.h"
#include "name_index.h"
#include "every_pair.h"
#include "talvik/find_pairs.h"
#include "talvik/match_rule.h"
#include "talvik/name_lookup.h"
#include "talvik/saved_index.h"
#include "table_builder.h"

using talvik::testing::build_table;
using talvik::testing::tag;

namespace talvik {
namespace {

using Names = std::vector<std::string>;

std::vector<std::string_view> views_of(const Names& names) { return {names.begin(), names.end()}; }

// Names over a small vocabulary, so that most words are shared, with a few
// long names, repeated words and words no tradeout lists.
Names random_names(int count, int vocabulary, std::mt19937& rng) {
    Names names;
    for (int k = 0; k < count; ++k) {
        const unsigned words = rng() % 10 == 0 ? 9 + rng() % 4 : rng() % 5;
        std::string name;
        for (unsigned w = 0; w < words; ++w) {
            if (w > 0) name += ' ';
            name += tag("w", static_cast<int>(rng() % static_cast<unsigned>(vocabulary)));
        }
        names.push_back(name);
    }
    return names;
}

// Some tradeouts, and some keys, are words no name holds, reachable from a query only.
constexpr talvik::testing::EntryShape kEntries{.word_odds = 3, .stray_keys = true};

std::vector<NamePair> pairs_of(const SearchIndex& index) {
    SearchOptions o;
    o.threads = 2;
    const PairResult r = find_pairs(index, o);
    EXPECT_TRUE(r.ok());
    std::vector<NamePair> out;
    r.for_each([&](NamePair p) { out.push_back(p); });
    return out;
}

bool same(const std::vector<NamePair>& a, const std::vector<NamePair>& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](NamePair x, NamePair y) { return x.name1 == y.name1 && x.name2 == y.name2; });
}

struct Fixture {
    Names names;
    TradeoutTablePtr table;
    std::unique_ptr<SearchIndex> index;
    std::vector<char> bytes;
    std::vector<std::string_view> views_storage;

    explicit Fixture(unsigned seed, int count = 300) {
        std::mt19937 rng(seed);
        names = random_names(count, 40, rng);
        table = build_table(random_entries(30, 40, rng, kEntries));
        views_storage = views_of(names);
        index = SearchIndex::build(views_storage, *table, 2).index;
        bytes.resize(saved_index_size(*index));
        EXPECT_TRUE(write_saved_index(*index, bytes.data(), bytes.size()).ok());
    }
};

TEST(Crc32c, KnownValueAndBothWaysAgree) {
    EXPECT_EQ(crc32c(0, "123456789", 9), 0xE3069283u);
    EXPECT_EQ(crc32c_portable(0, "123456789", 9), 0xE3069283u);
    std::mt19937 rng(5);
    std::string data(1000, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    for (size_t n : {0, 1, 7, 8, 9, 63, 1000}) {
        EXPECT_EQ(crc32c(0, data.data(), n), crc32c_portable(0, data.data(), n)) << n;
        // Extending in two steps, or joining two pieces' values, gives the value of one.
        const uint32_t whole = crc32c(0, data.data(), n);
        EXPECT_EQ(crc32c(crc32c(0, data.data(), n / 3), data.data() + n / 3, n - n / 3), whole);
        EXPECT_EQ(crc32c_combine(crc32c(0, data.data(), n / 3), crc32c(0, data.data() + n / 3, n - n / 3), n - n / 3),
                  whole);
    }
}

TEST(SavedIndex, ReopenedSearchesToTheSamePairs) {
    for (unsigned seed = 1; seed <= 6; ++seed) {
        Fixture f(seed);
        SavedIndex::Opened opened = SavedIndex::over(f.bytes.data(), f.bytes.size());
        ASSERT_TRUE(opened.status.ok());
        EXPECT_EQ(opened.index->index(), nullptr);  // not before verify()
        ASSERT_TRUE(opened.index->verify(2).ok());
        const SearchIndex& again = *opened.index->index();
        EXPECT_TRUE(same(pairs_of(again), pairs_of(*f.index)));
        EXPECT_TRUE(same(pairs_of(again), reference::every_pair(f.views_storage, *f.table)));
        for (size_t i = 0; i < f.names.size(); ++i) EXPECT_EQ(again.names()[i], f.views_storage[i]);
        // Saved again, the reopened index writes the same bytes.
        std::vector<char> twice(saved_index_size(again));
        ASSERT_TRUE(write_saved_index(again, twice.data(), twice.size()).ok());
        EXPECT_EQ(twice, f.bytes);
    }
}

TEST(SavedIndex, FileRoundTripAndUnalignedMemory) {
    Fixture f(11);
    char dir[] = "/tmp/talvik-saved-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/index.tvx";
    ASSERT_TRUE(save_index(*f.index, path.c_str()).ok());
    {
        SavedIndex::Opened opened = SavedIndex::open(path.c_str());
        ASSERT_TRUE(opened.status.ok());
        ASSERT_TRUE(opened.index->verify(1).ok());
        EXPECT_TRUE(same(pairs_of(*opened.index->index()), pairs_of(*f.index)));
    }
    std::vector<char> shifted(f.bytes.size() + 1);
    std::memcpy(shifted.data() + 1, f.bytes.data(), f.bytes.size());
    SavedIndex::Opened opened = SavedIndex::over(shifted.data() + 1, f.bytes.size());
    ASSERT_TRUE(opened.status.ok());
    ASSERT_TRUE(opened.index->verify(1).ok());
    EXPECT_TRUE(same(pairs_of(*opened.index->index()), pairs_of(*f.index)));
    const SavedIndexStatus missing = SavedIndex::open((std::string(dir) + "/none").c_str()).status;
    EXPECT_EQ(missing.error, SavedIndexError::io);
    EXPECT_EQ(missing.sys_errno, ENOENT);
    // Nothing but the index is left in the directory: the temporary file was renamed.
    EXPECT_EQ(::unlink(path.c_str()), 0);
    EXPECT_EQ(::rmdir(dir), 0);
}

// Opens and verifies; the error of whichever step failed.
SavedIndexError open_error(const std::vector<char>& bytes) {
    SavedIndex::Opened opened = SavedIndex::over(bytes.data(), bytes.size());
    if (!opened.status.ok()) return opened.status.error;
    return opened.index->verify(1).error;
}

TEST(SavedIndex, DamageIsRefusedAndNamed) {
    Fixture f(21);
    struct Case {
        const char* what;
        std::vector<char> bytes;
        SavedIndexError expected;
    };
    std::vector<Case> cases;
    cases.push_back({"empty", {}, SavedIndexError::truncated});
    cases.push_back({"another kind", std::vector<char>{'P', 'K', 3, 4, 0, 0, 0, 0, 0, 0}, SavedIndexError::not_an_index});
    for (size_t keep : {size_t{4}, size_t{40}, size_t{200}, f.bytes.size() / 2, f.bytes.size() - 1}) {
        cases.push_back({"truncated", {f.bytes.begin(), f.bytes.begin() + static_cast<std::ptrdiff_t>(keep)},
                         SavedIndexError::truncated});
    }
    std::vector<char> newer = f.bytes;
    newer[8] = 2;  // the format version
    cases.push_back({"newer version", newer, SavedIndexError::newer_version});
    std::vector<char> swapped = f.bytes;
    std::reverse(swapped.begin() + 16, swapped.begin() + 20);  // the byte-order mark
    cases.push_back({"byte order", swapped, SavedIndexError::other_platform});
    for (size_t at : {size_t{60}, size_t{300}, f.bytes.size() / 3, f.bytes.size() - 70}) {
        std::vector<char> flipped = f.bytes;
        flipped[at] ^= 0x10;
        cases.push_back({"flipped", flipped, SavedIndexError::corrupt});
    }
    // A bit of an option that changes results, with the header's checksum
    // made right again: a reader that does not know it must not guess.
    std::vector<char> option = f.bytes;
    option[48] = 4;
    std::memset(option.data() + 60, 0, 4);
    const uint32_t crc = crc32c(0, option.data(), 128);
    std::memcpy(option.data() + 60, &crc, 4);
    cases.push_back({"unknown option", option, SavedIndexError::newer_version});
    for (const Case& c : cases) EXPECT_EQ(open_error(c.bytes), c.expected) << c.what;
}

// The word dictionary a lookup starts from: every word of every name under
// its own id, through a built index and a reopened one alike.
TEST(SavedIndex, DictionaryFindsEveryWordAndNothingElse) {
    Fixture f(41, 500);
    SavedIndex::Opened opened = SavedIndex::over(f.bytes.data(), f.bytes.size());
    ASSERT_TRUE(opened.index->verify(1).ok());
    for (const SearchIndex* index : {static_cast<const SearchIndex*>(f.index.get()), opened.index->index()}) {
        const NameIndex& ix = index->index();
        for (int32_t i = 0; i < index->size(); ++i) {
            const auto ids = ix.words(i);
            size_t k = 0;
            for_each_word(index->names()[static_cast<size_t>(i)], [&](std::string_view w) {
                ASSERT_LT(k, ids.size());
                EXPECT_EQ(ix.find_word(w), ids[k]);
                EXPECT_EQ(ix.word_text(ids[k]), w);
                ++k;
            });
        }
        for (std::string_view absent : {"", "w", "w40", "q1", "w1 ", "W1"}) EXPECT_EQ(ix.find_word(absent), -1) << absent;
    }
}

TEST(TradeoutTable, CopyFindsTheSameListsInTheSameSlots) {
    std::mt19937 rng(7);
    // Repeated keys: the copy must find the first, as the original does.
    const TradeoutTablePtr table = build_table(random_entries(60, 20, rng, kEntries));
    const TradeoutTablePtr copy = copy_tradeout_table(*table);
    ASSERT_NE(copy, nullptr);
    ASSERT_EQ(copy->capacity, table->capacity);
    for (uint64_t slot = 0; slot < table->capacity; ++slot) {
        const TradeoutEntry& a = table->entries[slot];
        const TradeoutEntry& b = copy->entries[slot];
        ASSERT_EQ(a.occupied, b.occupied);
        if (!a.occupied) continue;
        EXPECT_EQ(a.key, b.key);
        EXPECT_NE(a.key.data(), b.key.data());  // owned, not borrowed
        const MatchList* la = tradeout_table_lookup(*table, a.key);
        const MatchList* lb = tradeout_table_lookup(*copy, a.key);
        ASSERT_EQ(la == nullptr, lb == nullptr);
        if (la != nullptr) {
            EXPECT_EQ(la->words, lb->words);
        }
    }
}

// Every byte flipped in turn, with the checksums skipped: the bounds checks
// alone must keep the search inside the file (ASan watches in `make sanitize`).
TEST(SavedIndex, BoundsChecksAloneKeepTheSearchInside) {
    Fixture f(31, 60);
    int refused = 0, searched = 0;
    for (size_t at = 0; at < f.bytes.size(); at += 3) {
        std::vector<char> flipped = f.bytes;
        flipped[at] = static_cast<char>(flipped[at] ^ (1 << (at % 8)));
        SavedIndex::Opened opened = SavedIndex::over_unchecked(flipped.data(), flipped.size());
        if (!opened.status.ok() || !opened.index->verify(1).ok()) {
            ++refused;
            continue;
        }
        ++searched;
        SearchOptions o;
        (void)find_pairs(*opened.index->index(), o);
        auto lookup = NameLookup::make(*opened.index->index());
        ASSERT_NE(lookup, nullptr);
        (void)lookup->find(f.views_storage, {});
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(searched, 0);
}

// The lookup against the rule itself, pair by pair, with queries whose words
// the index does not know.
TEST(NameLookup, EqualsTheRuleOverEveryPair) {
    for (unsigned seed = 1; seed <= 8; ++seed) {
        Fixture f(seed, 200);
        std::mt19937 rng(seed + 100);
        Names queries = random_names(300, 45, rng);  // w40..w44 are in no indexed name
        queries.push_back("q1 q2 w3");
        queries.push_back("w1 w1");
        const std::vector<std::string_view> q(queries.begin(), queries.end());
        std::vector<NamePair> expected;
        for (size_t i = 0; i < q.size(); ++i) {
            for (size_t j = 0; j < f.names.size(); ++j) {
                if (validate_match(q[i], f.views_storage[j], *f.table)) {
                    expected.push_back({static_cast<int32_t>(i), static_cast<int32_t>(j)});
                }
            }
        }
        SavedIndex::Opened opened = SavedIndex::over(f.bytes.data(), f.bytes.size());
        ASSERT_TRUE(opened.index->verify(1).ok());
        for (const SearchIndex* index : {static_cast<const SearchIndex*>(f.index.get()), opened.index->index()}) {
            auto lookup = NameLookup::make(*index);
            ASSERT_NE(lookup, nullptr);
            for (int32_t threads : {1, 2}) {
                LookupOptions o;
                o.threads = threads;
                const LookupResult r = lookup->find(q, o);
                ASSERT_EQ(r.error, SearchError::none);
                EXPECT_TRUE(same(r.pairs, expected)) << "seed " << seed << ", threads " << threads;
            }
        }
    }
}

// Queries past 16 words go by single words, past 32 keep a few positions per
// word instead of a bit each: both against the rule, over an index with long
// names of its own.
TEST(NameLookup, LongQueriesEqualTheRule) {
    std::mt19937 rng(77);
    Names names;
    for (int k = 0; k < 150; ++k) {
        std::string name;
        const unsigned words = rng() % 3 == 0 ? 20 + rng() % 20 : 2 + rng() % 3;
        for (unsigned w = 0; w < words; ++w) {
            if (w > 0) name += ' ';
            name += tag("w", static_cast<int>(rng() % 25));
        }
        names.push_back(name);
    }
    const TradeoutTablePtr table = build_table(random_entries(20, 25, rng, kEntries));
    const std::vector<std::string_view> views(names.begin(), names.end());
    const auto index = SearchIndex::build(views, *table, 1).index;
    ASSERT_NE(index, nullptr);
    Names queries;
    for (unsigned words : {17u, 31u, 32u, 33u, 40u, 64u}) {
        for (int k = 0; k < 10; ++k) {
            std::string q;
            for (unsigned w = 0; w < words; ++w) {
                if (w > 0) q += ' ';
                q += tag(rng() % 5 ? "w" : "q", static_cast<int>(rng() % 30));
            }
            queries.push_back(q);
        }
    }
    const std::vector<std::string_view> q(queries.begin(), queries.end());
    std::vector<NamePair> expected;
    for (size_t i = 0; i < q.size(); ++i) {
        for (size_t j = 0; j < names.size(); ++j) {
            if (validate_match(q[i], views[j], *table)) expected.push_back({static_cast<int32_t>(i), static_cast<int32_t>(j)});
        }
    }
    EXPECT_GT(expected.size(), q.size());  // the case is not empty
    const LookupResult r = NameLookup::make(*index)->find(q, {});
    ASSERT_EQ(r.error, SearchError::none);
    EXPECT_TRUE(same(r.pairs, expected));
}

TEST(SavedIndex, VerifyRemembersDamageButNotAStop) {
    Fixture f(51);
    {
        SavedIndex::Opened opened = SavedIndex::over(f.bytes.data(), f.bytes.size());
        StopToken stop;
        stop.request_stop();
        EXPECT_EQ(opened.index->verify(2, &stop).error, SavedIndexError::stopped);
        EXPECT_EQ(opened.index->index(), nullptr);
        EXPECT_TRUE(opened.index->verify(2).ok());  // a stopped check is tried again
        EXPECT_NE(opened.index->index(), nullptr);
    }
    std::vector<char> flipped = f.bytes;
    flipped[flipped.size() * 3 / 4] ^= 0x40;
    SavedIndex::Opened opened = SavedIndex::over(flipped.data(), flipped.size());
    ASSERT_TRUE(opened.status.ok());  // a large section: found by verify()
    const SavedIndexStatus first = opened.index->verify(2);
    EXPECT_EQ(first.error, SavedIndexError::corrupt);
    ASSERT_NE(first.where, nullptr);
    EXPECT_EQ(opened.index->verify(1).where, first.where);
    EXPECT_EQ(opened.index->index(), nullptr);
}

TEST(SavedIndex, AFailedSaveLeavesNothingBehind) {
    Fixture f(61, 20);
    char dir[] = "/tmp/talvik-saved-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    // A directory where the file should go: the rename fails, after the write.
    const std::string path = std::string(dir) + "/taken";
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    const SavedIndexStatus s = save_index(*f.index, path.c_str());
    EXPECT_EQ(s.error, SavedIndexError::io);
    EXPECT_EQ(s.sys_errno, EISDIR);
    EXPECT_EQ(::rmdir(path.c_str()), 0);
    EXPECT_EQ(::rmdir(dir), 0);  // empty: no temporary file left
    EXPECT_EQ(save_index(*f.index, "/nonexistent-dir/index.tvx").error, SavedIndexError::io);
}

}  // namespace
}  // namespace talvik
