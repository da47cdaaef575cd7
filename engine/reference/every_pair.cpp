#include "every_pair.h"

#include <algorithm>

#include "talvik/match_rule.h"

namespace talvik::reference {

std::vector<NamePair> every_pair(std::span<const std::string_view> names, const TradeoutTable& table,
                                 int32_t first_row, int32_t last_row, int32_t min_second) {
    const auto n = static_cast<int32_t>(names.size());
    std::vector<NamePair> pairs;
    for (int32_t i = std::max(first_row, 0); i < std::min(last_row, n); ++i) {
        for (int32_t j = std::max(i + 1, min_second); j < n; ++j) {
            if (validate_match(names[static_cast<size_t>(i)], names[static_cast<size_t>(j)], table)) {
                pairs.push_back(NamePair{i, j});
            }
        }
    }
    return pairs;
}

}  // namespace talvik::reference
