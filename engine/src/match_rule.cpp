#include "talvik/match_rule.h"

#include <span>

namespace talvik {
namespace {

bool has_word(std::string_view name, std::string_view word) noexcept {
    WordCursor cursor(name);
    for (std::string_view w; cursor.next(w);) {
        if (w == word) return true;
    }
    return false;
}

std::span<const std::string_view> tradeouts_in(const TradeoutTable& table, std::string_view w) noexcept {
    const MatchList* list = tradeout_table_lookup(table, w);
    return list ? std::span<const std::string_view>(list->words) : std::span<const std::string_view>();
}

// One pass: how many of `name`'s word positions are found in `other`? A word
// is looked up only when it has no identical counterpart, at most once. The
// pass stops once `need` is reached or out of reach; lookups cannot fail, so
// stopping early changes nothing but the work done.
int32_t count_found(std::string_view name, int32_t words, std::string_view other, int32_t need,
                    const TradeoutTable& table) noexcept {
    auto holds = [other](std::string_view w) { return has_word(other, w); };
    auto tradeouts_of = [&table](std::string_view w) { return tradeouts_in(table, w); };
    int32_t found = 0;
    int32_t left = words;
    WordCursor cursor(name);
    for (std::string_view w; cursor.next(w) && found < need && found + left >= need; --left) {
        if (position_found(w, tradeouts_of, holds)) ++found;
    }
    return found;
}

// The first position of `words` that holds `w`, or -1.
int32_t position_of(const std::vector<std::string_view>& words, std::string_view w) noexcept {
    for (size_t k = 0; k < words.size(); ++k) {
        if (words[k] == w) return static_cast<int32_t>(k);
    }
    return -1;
}

std::vector<std::string_view> words_of(std::string_view name) {
    std::vector<std::string_view> words;
    for_each_word(name, [&words](std::string_view w) { words.push_back(w); });
    return words;
}

// Every position of one name, accounted for as position_found finds it.
std::vector<WordAccount> account(const std::vector<std::string_view>& words,
                                 const std::vector<std::string_view>& other, const TradeoutTable& table,
                                 int32_t* found) {
    std::vector<WordAccount> out;
    out.reserve(words.size());
    for (std::string_view w : words) {
        WordAccount a;
        a.word = w;
        auto holds = [&](std::string_view x) {
            a.other_position = position_of(other, x);
            if (a.other_position >= 0 && x != w) a.via = x;
            return a.other_position >= 0;
        };
        if (position_found(w, [&table](std::string_view x) { return tradeouts_in(table, x); }, holds)) {
            a.how = a.via.data() != nullptr ? WordAccount::How::tradeout : WordAccount::How::same;
            ++*found;
        }
        out.push_back(a);
    }
    return out;
}

}  // namespace

bool validate_match(std::string_view name1, std::string_view name2, const TradeoutTable& table) noexcept {
    const int32_t c1 = count_words(name1);
    const int32_t c2 = count_words(name2);
    if (!can_match(c1) || !can_match(c2)) return false;
    const int32_t found1 = count_found(name1, c1, name2, words_needed(c1, c2), table);
    if (found1 < words_needed(c1, c2)) return false;
    return accepts(c1, found1, c2, count_found(name2, c2, name1, words_needed(c2, c1), table));
}

MatchAccount explain_match(std::string_view name1, std::string_view name2, const TradeoutTable& table) {
    const std::vector<std::string_view> w1 = words_of(name1), w2 = words_of(name2);
    MatchAccount m;
    m.words1 = account(w1, w2, table, &m.found1);
    m.words2 = account(w2, w1, table, &m.found2);
    const auto c1 = static_cast<int32_t>(w1.size()), c2 = static_cast<int32_t>(w2.size());
    m.needed1 = words_needed(c1, c2);
    m.needed2 = words_needed(c2, c1);
    m.match = accepts(c1, m.found1, c2, m.found2);
    return m;
}

}  // namespace talvik
