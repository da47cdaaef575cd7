// Builds tradeout tables for tests, key by key, the way the module does.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tradeout_table.h"

namespace talvik::testing {

// "S" + number, spelled so that GCC 12 raises no false -Wrestrict at -O3.
inline std::string tag(const char* prefix, int number) {
    std::string s(prefix);
    s.append(std::to_string(number));
    return s;
}

using Entries = std::vector<std::pair<std::string, std::vector<std::string>>>;

inline TradeoutTablePtr build_table(const Entries& entries) {
    TradeoutTablePtr table = make_tradeout_table(static_cast<int64_t>(entries.size()));
    EXPECT_NE(table, nullptr);
    for (const auto& [key, words] : entries) {
        auto slot = tradeout_table_claim_slot(*table, key);
        EXPECT_TRUE(slot.has_value());
        EXPECT_TRUE(tradeout_table_store_key(*table, *slot, key));
        auto list = make_match_list(static_cast<int32_t>(words.size()));
        for (const auto& w : words) match_list_add(*table, *list, w);
        table->entries[*slot].matches = std::move(list);
    }
    return table;
}

}  // namespace talvik::testing
