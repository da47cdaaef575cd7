#include "variants_reference.h"

#include <algorithm>

namespace talvik::reference {

std::vector<uint32_t> code_points(std::string_view word) {
    std::vector<uint32_t> out;
    const auto at = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(word[k])); };
    size_t i = 0;
    while (i < word.size()) {
        const uint32_t b = at(i);
        // Read greedily by the lead byte, then judge the whole value.
        size_t length = 0;
        uint32_t cp = 0;
        uint32_t least = 0;
        if (b >= 0xC0 && b < 0xE0) {
            length = 2, cp = b & 0x1F, least = 0x80;
        } else if (b >= 0xE0 && b < 0xF0) {
            length = 3, cp = b & 0x0F, least = 0x800;
        } else if (b >= 0xF0 && b < 0xF8) {
            length = 4, cp = b & 0x07, least = 0x10000;
        }
        bool valid = length != 0 && i + length <= word.size();
        for (size_t k = 1; valid && k < length; ++k) {
            valid = (at(i + k) & 0xC0) == 0x80;
            cp = cp << 6 | (at(i + k) & 0x3F);
        }
        valid = valid && cp >= least && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        if (b < 0x80) {
            out.push_back(b);
            i += 1;
        } else if (valid) {
            out.push_back(cp);
            i += length;
        } else {
            out.push_back(0x110000 + b);
            i += 1;
        }
    }
    return out;
}

int32_t osa_distance(std::span<const uint32_t> a, std::span<const uint32_t> b, bool transpositions) {
    const size_t n = a.size(), m = b.size();
    std::vector<std::vector<int32_t>> d(n + 1, std::vector<int32_t>(m + 1, 0));
    for (size_t i = 0; i <= n; ++i) d[i][0] = static_cast<int32_t>(i);
    for (size_t j = 0; j <= m; ++j) d[0][j] = static_cast<int32_t>(j);
    for (size_t i = 1; i <= n; ++i) {
        for (size_t j = 1; j <= m; ++j) {
            const int32_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (transpositions && i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[n][m];
}

std::vector<VariantPair> every_variant(std::span<const std::string_view> words, int32_t max_edits,
                                       int32_t min_length, bool transpositions) {
    std::vector<std::vector<uint32_t>> points;
    for (std::string_view w : words) points.push_back(code_points(w));
    std::vector<VariantPair> pairs;
    for (size_t i = 0; i < points.size(); ++i) {
        if (points[i].size() < static_cast<size_t>(min_length)) continue;
        for (size_t j = i + 1; j < points.size(); ++j) {
            if (points[j].size() < static_cast<size_t>(min_length)) continue;
            if (osa_distance(points[i], points[j], transpositions) <= max_edits) {
                pairs.push_back({static_cast<int32_t>(i), static_cast<int32_t>(j)});
            }
        }
    }
    return pairs;
}

}  // namespace talvik::reference
