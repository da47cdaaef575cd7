#include "match_validation.h"

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

bool has_any_word(std::string_view name, const MatchList& list) noexcept {
    WordCursor cursor(name);
    for (std::string_view w; cursor.next(w);) {
        for (const std::string& t : list.words) {
            if (t == w) return true;
        }
    }
    return false;
}

// One pass: are at least `need` of `name`'s word positions found in `other`?
// A word is looked up only when it has no identical counterpart, at most once.
// The pass stops as soon as the answer is settled; lookups cannot fail, so
// stopping early changes nothing but the work done.
bool enough_found(std::string_view name, int32_t words, std::string_view other,
                  int32_t need, const TradeoutTable& table) noexcept {
    int32_t found = 0;
    int32_t left = words;
    WordCursor cursor(name);
    for (std::string_view w; cursor.next(w); --left) {
        if (found + left < need) return false;
        if (has_word(other, w)) {
            ++found;
        } else if (const MatchList* list = tradeout_table_lookup(table, w)) {
            if (has_any_word(other, *list)) ++found;
        }
        if (found >= need) return true;
    }
    return found >= need;
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

std::string_view extract_word(std::string_view name, int32_t position) noexcept {
    WordCursor cursor(name);
    std::string_view w;
    for (int32_t i = 0; i <= position; ++i) {
        if (!cursor.next(w)) return {};
    }
    return w;
}

bool validate_match(std::string_view name1, std::string_view name2,
                    const TradeoutTable& table) noexcept {
    const int32_t c1 = count_words(name1);
    if (c1 < 2) return false;
    const int32_t c2 = count_words(name2);
    if (c2 < 2) return false;
    const int32_t need1 = (c1 == 3 && c2 != 2) ? 3 : 2;
    const int32_t need2 = (c2 == 3 && c1 != 2) ? 3 : 2;
    return enough_found(name1, c1, name2, need1, table) &&
           enough_found(name2, c2, name1, need2, table);
}

}  // namespace talvik
