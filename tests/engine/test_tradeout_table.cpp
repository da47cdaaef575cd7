#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "table_builder.h"
#include "tradeout_slots.h"
#include "talvik/tradeout_table.h"

using namespace std::literals;
using talvik::testing::build_table;
using talvik::testing::tag;

namespace talvik {
namespace {

TEST(TradeoutHash, KnownValues) {
    struct Case {
        std::string_view bytes;
        uint64_t hash;
    } cases[] = {
        {""sv, 5381},
        {"abc"sv, 193485963},
        {"\xC3\xA9"sv, 5857809},  // bytes are signed: unsigned would give 5866513
        {"a\0"sv, 5381ull * 33 * 33 + 97 * 33},  // NUL is hashed like any byte
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tradeout_hash(c.bytes), c.hash) << "bytes of length " << c.bytes.size();
    }
}

TEST(TradeoutTable, EmptyTableHasNoSlotsAndFindsNothing) {
    TradeoutTablePtr table = make_tradeout_table(0);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->capacity, 0u);
    EXPECT_TRUE(table->entries.empty());
    EXPECT_EQ(tradeout_table_lookup(*table, "John"), nullptr);
    EXPECT_EQ(tradeout_table_lookup(*table, ""), nullptr);
    EXPECT_FALSE(tradeout_table_claim_slot(*table, "x").has_value());
}

TEST(TradeoutTable, OneKeyTwoSlots) {
    auto table = build_table({{"J", {"J", "John", "Jack"}}});
    EXPECT_EQ(table->size, 1);
    EXPECT_EQ(table->capacity, 2u);
    const MatchList* list = tradeout_table_lookup(*table, "J");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->count(), 3);
    EXPECT_EQ(list->words[1], "John");
    for (auto other : {"K"sv, "John"sv, "JJ"sv, ""sv, "J\0"sv}) {
        EXPECT_EQ(tradeout_table_lookup(*table, other), nullptr);
    }
}

TEST(TradeoutTable, ManyKeysAllFoundThroughCollisions) {
    talvik::testing::Entries entries;
    for (int k = 0; k < 500; ++k) {
        entries.push_back({tag("key", k), {tag("w", k)}});
    }
    auto table = build_table(entries);
    EXPECT_EQ(table->capacity, 1000u);
    int occupied = 0;
    for (const auto& e : table->entries) occupied += e.occupied;
    EXPECT_EQ(occupied, 500);
    for (int k = 0; k < 500; ++k) {
        const MatchList* list = tradeout_table_lookup(*table, tag("key", k));
        ASSERT_NE(list, nullptr) << k;
        EXPECT_EQ(list->words.at(0), tag("w", k));
    }
    EXPECT_EQ(tradeout_table_lookup(*table, "key500"), nullptr);
}

TEST(TradeoutTable, SlotFollowsHashAndLinearProbe) {
    TradeoutTablePtr table = make_tradeout_table(3);
    const uint64_t home = tradeout_hash("abc") % 6;
    auto first = tradeout_table_claim_slot(*table, "abc");
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(*first, home);
    ASSERT_TRUE(tradeout_table_store_key(*table, *first, "abc"));
    // An equal key is not merged: it takes the next slot, wrapping around.
    auto second = tradeout_table_claim_slot(*table, "abc");
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(*second, (home + 1) % 6);
}

TEST(TradeoutTable, EqualKeysFindTheFirstStored) {
    auto table = build_table({{"ab", {"first"}}, {"ab", {"second"}}});
    const MatchList* list = tradeout_table_lookup(*table, "ab");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->words.at(0), "first");
}

TEST(TradeoutTable, KeysAreWholeByteStrings) {
    // A NUL is part of the key, not its end; long keys are compared whole.
    const std::string long_key(5000, 'x');
    auto table = build_table({{"ab", {"plain"}}, {"ab\0c"s, {"with-nul"}}, {long_key, {"long"}}});
    EXPECT_EQ(tradeout_table_lookup(*table, "ab")->words.at(0), "plain");
    EXPECT_EQ(tradeout_table_lookup(*table, "ab\0c"sv)->words.at(0), "with-nul");
    EXPECT_EQ(tradeout_table_lookup(*table, "ab\0"sv), nullptr);
    EXPECT_EQ(tradeout_table_lookup(*table, long_key)->words.at(0), "long");
    EXPECT_EQ(tradeout_table_lookup(*table, long_key.substr(0, 1023)), nullptr);
}

TEST(TradeoutTable, FullTableRefusesAClaim) {
    TradeoutTablePtr table = make_tradeout_table(1);
    for (int k = 0; k < 2; ++k) {
        auto slot = tradeout_table_claim_slot(*table, "k");
        ASSERT_TRUE(slot.has_value());
        ASSERT_TRUE(tradeout_table_store_key(*table, *slot, "k"));
    }
    EXPECT_FALSE(tradeout_table_claim_slot(*table, "k").has_value());
}

TEST(MatchList, StopsAtCapacity) {
    auto table = make_tradeout_table(1);
    auto list = make_match_list(2);
    ASSERT_NE(list, nullptr);
    EXPECT_TRUE(match_list_add(*table, *list, "a"));
    EXPECT_FALSE(list->full());
    EXPECT_TRUE(match_list_add(*table, *list, "b"));
    EXPECT_TRUE(list->full());
    EXPECT_TRUE(match_list_add(*table, *list, "c"));  // refused quietly: the list is full
    EXPECT_EQ(list->count(), 2);
    EXPECT_EQ(make_match_list(-1), nullptr);
}

// However often a word is listed, the table holds it once; borrowed words
// are not copied at all.
TEST(WordPool, StoresEachDistinctWordOnce) {
    auto table = make_tradeout_table(2);
    const std::string big(1 << 20, 'x');
    auto first = make_match_list(60);
    for (int k = 0; k < 50; ++k) ASSERT_TRUE(match_list_add(*table, *first, std::string(big)));
    ASSERT_TRUE(match_list_add(*table, *first, "y"));
    EXPECT_EQ(first->count(), 51);
    EXPECT_EQ(table->pool.distinct(), 2u);
    for (int k = 1; k < 50; ++k) EXPECT_EQ(first->words[k].data(), first->words[0].data());
    EXPECT_EQ(first->words[0], big);

    const std::string lent = "borrowed";
    auto second = make_match_list(2);
    ASSERT_TRUE(match_list_add(*table, *second, lent, /*borrow=*/true));
    ASSERT_TRUE(match_list_add(*table, *second, "y"));
    EXPECT_EQ(second->words[0].data(), lent.data());
    EXPECT_EQ(second->words[1].data(), first->words[50].data());
    auto slot = tradeout_table_claim_slot(*table, "y");
    ASSERT_TRUE(slot && tradeout_table_store_key(*table, *slot, "y"));
    EXPECT_EQ(table->entries[*slot].key.data(), first->words[50].data());
    EXPECT_EQ(table->pool.distinct(), 3u);
}

}  // namespace
}  // namespace talvik
