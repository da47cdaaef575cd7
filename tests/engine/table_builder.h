// Tradeout tables for tests, through the engine's one builder.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "talvik/tradeout_table.h"

namespace talvik::testing {

// "S" + number, spelled so that GCC 12 raises no false -Wrestrict at -O3.
inline std::string tag(const char* prefix, int number) {
    std::string s(prefix);
    s.append(std::to_string(number));
    return s;
}

using Entries = std::vector<std::pair<std::string, std::vector<std::string>>>;

inline TradeoutTablePtr build_table(const Entries& entries) {
    TradeoutTablePtr table = build_tradeout_table(entries);
    EXPECT_NE(table, nullptr);
    return table;
}

}  // namespace talvik::testing
