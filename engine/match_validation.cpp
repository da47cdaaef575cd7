#include "match_validation.h"

#include <span>

#include "match_rule.h"

namespace talvik {
namespace {

// Walks the words of a name left to right without copying.
class WordCursor {
public:
    explicit WordCursor(std::string_view name) noexcept : rest_(name) {}

    bool next(std::string_view& word) noexcept {
        const size_t begin = rest_.find_first_not_of(' ');
        if (begin == std::string_view::npos) return false;
        rest_.remove_prefix(begin);
        const size_t end = rest_.find(' ');
        const size_t len = end == std::string_view::npos ? rest_.size() : end;
        word = rest_.substr(0, len);
        rest_.remove_prefix(len);
        return true;
    }

private:
    std::string_view rest_;
};

bool has_word(std::string_view name, std::string_view word) noexcept {
    WordCursor cursor(name);
    for (std::string_view w; cursor.next(w);) {
        if (w == word) return true;
    }
    return false;
}

// One pass: how many of `name`'s word positions are found in `other`? A word
// is looked up only when it has no identical counterpart, at most once. The
// pass stops once `need` is reached or out of reach; lookups cannot fail, so
// stopping early changes nothing but the work done.
int32_t count_found(std::string_view name, int32_t words, std::string_view other, int32_t need,
                    const TradeoutTable& table) noexcept {
    auto holds = [other](std::string_view w) { return has_word(other, w); };
    auto tradeouts_of = [&table](std::string_view w) {
        const MatchList* list = tradeout_table_lookup(table, w);
        return list ? std::span<const std::string_view>(list->words) : std::span<const std::string_view>();
    };
    int32_t found = 0;
    int32_t left = words;
    WordCursor cursor(name);
    for (std::string_view w; cursor.next(w) && found < need && found + left >= need; --left) {
        if (position_found(w, tradeouts_of, holds)) ++found;
    }
    return found;
}

}  // namespace

int32_t count_words(std::string_view name) noexcept {
    int32_t count = 0;
    bool in_word = false;
    for (char c : name) {
        if (c == ' ') {
            in_word = false;
        } else if (!in_word) {
            in_word = true;
            ++count;
        }
    }
    return count;
}

bool validate_match(std::string_view name1, std::string_view name2,
                    const TradeoutTable& table) noexcept {
    const int32_t c1 = count_words(name1);
    const int32_t c2 = count_words(name2);
    if (!can_match(c1) || !can_match(c2)) return false;
    const int32_t found1 = count_found(name1, c1, name2, words_needed(c1, c2), table);
    if (found1 < words_needed(c1, c2)) return false;
    return accepts(c1, found1, c2, count_found(name2, c2, name1, words_needed(c2, c1), table));
}

}  // namespace talvik
