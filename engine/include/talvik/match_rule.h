// The matching rule, stated once: how a name is cut into words, when a word
// position is "found" in the other name, and how many positions each name
// needs found. validate_match applies it to raw bytes, the indexed search to
// word ids, the tradeout tally and explain_match to both; all of them build
// on what is here.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "talvik/tradeout_table.h"

namespace talvik {

// Walks the words of a name left to right without copying: maximal runs of
// bytes other than the ASCII space. Every other byte, NUL and tab included,
// belongs to a word.
class WordCursor {
public:
    explicit WordCursor(std::string_view name) noexcept : p_(name.data()), end_(name.data() + name.size()) {}

    bool next(std::string_view& word) noexcept {
        while (p_ != end_ && *p_ == ' ') ++p_;
        if (p_ == end_) return false;
        const void* space = std::memchr(p_, ' ', static_cast<size_t>(end_ - p_));
        const char* stop = space ? static_cast<const char*>(space) : end_;
        word = std::string_view(p_, static_cast<size_t>(stop - p_));
        p_ = stop;
        return true;
    }

private:
    const char* p_;
    const char* end_;
};

// Calls f(word) for every word of a name, in order.
template <class F>
void for_each_word(std::string_view name, F&& f) {
    WordCursor cursor(name);
    for (std::string_view w; cursor.next(w);) f(w);
}

// The number of words of a name.
inline int32_t count_words(std::string_view name) noexcept {
    int32_t count = 0;
    for_each_word(name, [&count](std::string_view) { ++count; });
    return count;
}

// How many of a name's word positions must be found, given its word count and
// the other name's: a two-word name whole; a three-word name whole, except
// against a two-word name, where two suffice; a longer name two.
constexpr int32_t words_needed(int32_t count, int32_t other) noexcept {
    return (count == 3 && other != 2) ? 3 : 2;
}

// No name ever needs more positions found than this.
inline constexpr int32_t most_words_needed = 3;

// Whether a name must be found whole against every name of three words or
// more (then any two of its positions find all such names).
constexpr bool found_whole_against_longer(int32_t count) noexcept {
    return words_needed(count, 3) == count && words_needed(count, 4) == count;
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

// True when the names match. Each word position of a name is "found" when an
// identical word is in the other name or, failing that, when one of the
// word's tradeouts is. Tradeouts are directional: each name's pass consults
// only its own words' tradeouts. Allocates nothing; safe from any number of
// threads.
bool validate_match(std::string_view name1, std::string_view name2, const TradeoutTable& table) noexcept;

// How one word position was looked for in the other name.
struct WordAccount {
    enum class How : uint8_t { same, tradeout, not_found };
    std::string_view word;
    How how = How::not_found;
    int32_t other_position = -1;  // the first position of the other name holding `word` or `via`
    std::string_view via;         // the tradeout that was found (How::tradeout)
};

// The rule applied to one pair, position by position: what explain() shows.
struct MatchAccount {
    std::vector<WordAccount> words1;
    std::vector<WordAccount> words2;
    int32_t found1 = 0;
    int32_t found2 = 0;
    int32_t needed1 = 0;
    int32_t needed2 = 0;
    bool match = false;
};

// Every position of both names, with the first tradeout (in list order) that
// found it. Throws std::bad_alloc.
MatchAccount explain_match(std::string_view name1, std::string_view name2, const TradeoutTable& table);

}  // namespace talvik
