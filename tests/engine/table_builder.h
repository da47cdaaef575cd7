// Tradeout tables for tests, through the engine's one builder.
#pragma once

#include <gtest/gtest.h>

#include <random>
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

// How random_entries draws a table over the words "w0".."w{vocabulary-1}".
struct EntryShape {
    bool wide = false;         // half the lists of up to 59 words (too long to search by looking back), else up to 3
    unsigned word_odds = 9;    // one listed word in this many is a word no name holds
    bool drawn_strays = true;  // such a word is one of "q0".."q4" (a query may hold it), else "nowhere"
    bool stray_keys = false;   // and a quarter of the keys are such words too
};

// `count` random entries; the same seed gives the same table.
inline Entries random_entries(int count, int vocabulary, std::mt19937& rng, const EntryShape& shape) {
    const auto word = [&] { return tag("w", static_cast<int>(rng() % static_cast<unsigned>(vocabulary))); };
    const auto stray = [&] { return shape.drawn_strays ? tag("q", static_cast<int>(rng() % 5)) : "nowhere"; };
    Entries entries;
    for (int e = 0; e < count; ++e) {
        std::vector<std::string> words;
        const unsigned width = shape.wide && rng() % 2 == 0 ? rng() % 60 : rng() % 4;
        for (unsigned t = 0; t < width; ++t) words.push_back(rng() % shape.word_odds ? word() : stray());
        std::string key = !shape.stray_keys || rng() % 4 ? word() : stray();
        entries.push_back({std::move(key), std::move(words)});
    }
    return entries;
}

}  // namespace talvik::testing
