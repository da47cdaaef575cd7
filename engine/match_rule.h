// The matching rule's two ingredients, stated once: when a word position is
// "found" in the other name, and how many positions each name needs found.
// validate_match applies them to raw bytes; the indexed search to word ids.
#pragma once

#include <cstdint>

namespace talvik {

// How many of a name's word positions must be found, given its word count and
// the other name's: a two-word name whole; a three-word name whole, except
// against a two-word name, where two suffice; a longer name two.
constexpr int32_t words_needed(int32_t count, int32_t other) noexcept {
    return (count == 3 && other != 2) ? 3 : 2;
}

// Names of fewer than two words never match.
constexpr bool can_match(int32_t count) noexcept { return count >= 2; }

// Both names meet their own requirement.
constexpr bool accepts(int32_t count1, int32_t found1, int32_t count2, int32_t found2) noexcept {
    return can_match(count1) && can_match(count2) && found1 >= words_needed(count1, count2) &&
           found2 >= words_needed(count2, count1);
}

// A position whose word is `w` is found when the other name holds w or,
// failing that, one of w's tradeouts. `holds(x)` asks the other name;
// `tradeouts_of(w)` gives w's tradeouts and is asked only after a miss.
template <class Word, class TradeoutsOf, class Holds>
bool position_found(const Word& w, TradeoutsOf&& tradeouts_of, Holds&& holds) {
    if (holds(w)) return true;
    for (const auto& t : tradeouts_of(w)) {
        if (holds(t)) return true;
    }
    return false;
}

}  // namespace talvik
