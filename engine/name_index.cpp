#include "name_index.h"

#include <algorithm>
#include <new>
#include <string_view>
#include <unordered_map>

namespace talvik {
namespace {

// Compressed rows from per-key counts: start[k] .. start[k + 1] for key k.
void counts_to_starts(std::vector<size_t>& start) {
    size_t total = 0;
    for (size_t& s : start) {
        const size_t count = s;
        s = total;
        total += count;
    }
}

}  // namespace

std::optional<NameIndex> NameIndex::build(const std::string_view* names, int32_t n,
                                          const TradeoutTable& table) noexcept {
    try {
        NameIndex index;
        std::unordered_map<std::string_view, int32_t> ids;
        std::vector<std::string_view> vocabulary;

        // Words by position, the same cut as the matching rule makes.
        index.name_start_.reserve(static_cast<size_t>(n) + 1);
        index.name_start_.push_back(0);
        for (int32_t i = 0; i < n; ++i) {
            std::string_view rest = names[i];
            for (;;) {
                const size_t begin = rest.find_first_not_of(' ');
                if (begin == std::string_view::npos) break;
                rest.remove_prefix(begin);
                const std::string_view word = rest.substr(0, rest.find(' '));
                rest.remove_prefix(word.size());
                auto [it, fresh] = ids.try_emplace(word, static_cast<int32_t>(vocabulary.size()));
                if (fresh) vocabulary.push_back(word);
                index.name_words_.push_back(it->second);
            }
            index.name_start_.push_back(index.name_words_.size());
        }
        const size_t v = vocabulary.size();

        // Each word is looked up once here, not once per pair.
        index.trade_start_.assign(v + 1, 0);
        std::vector<int32_t> seen(v, -1);
        for (size_t w = 0; w < v; ++w) {
            index.trade_start_[w] = index.trade_words_.size();
            const MatchList* list = tradeout_table_lookup(table, vocabulary[w]);
            if (list == nullptr) continue;
            for (const std::string& t : list->words) {
                auto it = ids.find(t);
                if (it == ids.end() || seen[static_cast<size_t>(it->second)] == static_cast<int32_t>(w)) continue;
                seen[static_cast<size_t>(it->second)] = static_cast<int32_t>(w);
                index.trade_words_.push_back(it->second);
            }
        }
        index.trade_start_[v] = index.trade_words_.size();

        // Postings: two passes over the names, counting then filling.
        index.post_start_.assign(v + 1, 0);
        std::fill(seen.begin(), seen.end(), -1);
        for (int32_t i = 0; i < n; ++i) {
            for (int32_t w : index.words(i)) {
                if (seen[static_cast<size_t>(w)] == i) continue;
                seen[static_cast<size_t>(w)] = i;
                ++index.post_start_[static_cast<size_t>(w)];
            }
        }
        counts_to_starts(index.post_start_);
        index.post_names_.resize(index.post_start_[v]);
        std::vector<size_t> fill(index.post_start_.begin(), index.post_start_.end() - 1);
        std::fill(seen.begin(), seen.end(), -1);
        for (int32_t i = 0; i < n; ++i) {
            for (int32_t w : index.words(i)) {
                if (seen[static_cast<size_t>(w)] == i) continue;
                seen[static_cast<size_t>(w)] = i;
                index.post_names_[fill[static_cast<size_t>(w)]++] = i;
            }
        }
        return index;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    } catch (const std::length_error&) {
        return std::nullopt;
    }
}

}  // namespace talvik
