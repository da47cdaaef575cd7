// Names cut into words once per search, with an inverted index from each word
// to the names that hold it. The search uses it to visit, for each name, only
// the names that share a word or a tradeout with it, instead of every pair.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "tradeout_table.h"

namespace talvik {

class NameIndex {
public:
    // Cuts `n` names into words and indexes them; empty when memory runs out.
    // The index borrows the names' bytes, which must outlive it.
    static std::optional<NameIndex> build(const std::string_view* names, int32_t n,
                                          const TradeoutTable& table) noexcept;

    // The word ids of a name, by position; a repeated word repeats its id.
    std::span<const int32_t> words(int32_t name) const noexcept {
        return span_of(name_words_, name_start_, name);
    }
    // The ids of a word's tradeouts that are words of some name; the others
    // can never be found.
    std::span<const int32_t> tradeouts(int32_t word) const noexcept {
        return span_of(trade_words_, trade_start_, word);
    }
    // The names holding a word, in increasing order, each once.
    std::span<const int32_t> postings(int32_t word) const noexcept {
        return span_of(post_names_, post_start_, word);
    }

private:
    static std::span<const int32_t> span_of(const std::vector<int32_t>& items,
                                            const std::vector<size_t>& start, int32_t k) noexcept {
        return {items.data() + start[static_cast<size_t>(k)],
                start[static_cast<size_t>(k) + 1] - start[static_cast<size_t>(k)]};
    }

    std::vector<size_t> name_start_;
    std::vector<int32_t> name_words_;
    std::vector<size_t> trade_start_;
    std::vector<int32_t> trade_words_;
    std::vector<size_t> post_start_;
    std::vector<int32_t> post_names_;
};

}  // namespace talvik
