// What fuzz_normalize checks on one input, shared with the regression tests:
// the first byte picks the options, the rest is one name and, cut at '\n',
// a list of names. Returns what went wrong, or an empty string.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "talvik/normalize.h"

namespace talvik::fuzz {

inline const DropWords& fuzz_drop_words() {
    static const DropWords words = [] {
        const std::string_view entries[] = {"Mr", "dr.", "S.A.", "s.a.r.l.", "co", "de la", "jr", "Ⅱ"};
        DropWords d;
        DropWords::make(entries, d);
        return d;
    }();
    return words;
}

inline std::string check_normalize(std::span<const uint8_t> data) {
    if (data.empty()) return {};
    const DropWords none;
    const DropWords& drop = (data[0] & 1) ? fuzz_drop_words() : none;
    const std::string_view text(reinterpret_cast<const char*>(data.data()) + 1, data.size() - 1);

    // Checks one name; `bad` says whether it was ill-formed.
    auto check_one = [&](std::string_view name, std::string& out, bool& bad) -> std::string {
        const NormalizeFailure f = normalize_name(name, drop, out);
        bad = f.error != NormalizeError::none;
        if (bad) {
            if (f.error != NormalizeError::invalid_utf8) return "a failure other than invalid_utf8";
            if (!(f.at < f.end && f.end <= name.size())) return "a bad [at, end) for invalid UTF-8";
            std::string prefix;
            if (normalize_name(name.substr(0, f.at), none, prefix).error != NormalizeError::none) {
                return "invalid UTF-8 reported after an earlier bad byte";
            }
            return {};
        }
        if (!out.empty() && (out.front() == ' ' || out.back() == ' ')) return "a leading or trailing space";
        if (out.find("  ") != std::string::npos) return "a double space";
        std::string again;
        if (normalize_name(out, drop, again).error != NormalizeError::none) return "the result is not valid UTF-8";
        if (again != out) return "not idempotent: [" + out + "] -> [" + again + "]";
        return {};
    };

    std::string whole;
    bool bad = false;
    if (std::string r = check_one(text, whole, bad); !r.empty()) return r;

    std::vector<std::string_view> names;
    for (size_t k = 0;;) {
        const size_t e = text.find('\n', k);
        names.push_back(text.substr(k, e == std::string_view::npos ? std::string_view::npos : e - k));
        if (e == std::string_view::npos) break;
        k = e + 1;
    }
    std::vector<std::string> each(names.size());
    size_t first_bad = names.size();
    for (size_t i = 0; i < names.size(); ++i) {
        if (std::string r = check_one(names[i], each[i], bad); !r.empty()) return r;
        if (bad && first_bad == names.size()) first_bad = i;
    }
    for (const int32_t threads : {1, 3}) {
        NormalizeOptions options;
        options.threads = threads;
        const NormalizedNames all = normalize_names(names, drop, options);
        if (first_bad < names.size()) {
            if (all.failure.error != NormalizeError::invalid_utf8 || all.failure.index != first_bad) {
                return "normalize_names missed the first ill-formed name";
            }
            continue;
        }
        if (!all.ok() || all.offsets.size() != names.size() + 1) return "normalize_names failed";
        for (size_t i = 0; i < names.size(); ++i) {
            const std::string_view got(all.bytes.data() + all.offsets[i],
                                       static_cast<size_t>(all.offsets[i + 1] - all.offsets[i]));
            if (got != each[i]) return "normalize_names differs from normalize_name";
        }
    }
    return {};
}

}  // namespace talvik::fuzz
