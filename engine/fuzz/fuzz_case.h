// Fuzzer bytes -> a list of names and a tradeout table, and the check that
// the indexed search finds exactly the every-pair reference's pairs. Shared
// by the libFuzzer target and the regression tests, so a find replays as is.
//
// Layout of the bytes (every input decodes to something):
//   4 header bytes: first_row, last_row (255: no limit), min_second, each
//     modulo n + 2 so that they can reach past the names; then the layout:
//     the names are laid out 1 + (h3 >> 6) times, each copy after
//     2 * (h3 & 0x1F) two-word filler names when h3 & 0x20, so that rows
//     land in other blocks of rows and names repeat; 200 names at most.
//   names, token by token, until a byte >= 0xF0; then the table's entries.
// Tokens, in both parts:
//   0x00-0x7F  a vocabulary word (vocabulary()[b % size]), after a space
//              unless the name is empty or the token is glued
//   0x80-0xBF  a generated word "w<b - 0x80>", likewise
//   0xC0       names: a raw space; table: an empty word
//   0xC1 x     the byte x, appended raw to the current word
//   0xC2       glue: the next word joins the current one without a space
//   0xC3 x     a long word, 'L' repeated 40 + x times
//   0xC4 x     x % 40 + 1 distinct words "d0", "d1", ... (names: in the name;
//              table: in the current key's list)
//   0xC5       table: every vocabulary word into the current list; names:
//              the previous word again
//   0xC6-0xDF  end of the name / of the entry (the next word is a new key)
//   0xE0-0xEF x  names: end of the name, then name x % count again
//   0xF0-0xFF  names: end of the names section
// In the table the first word of an entry is its key and the others its
// tradeouts.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "talvik/find_pairs.h"
#include "talvik/name_lookup.h"
#include "every_pair.h"
#include "talvik/tradeout_table.h"

namespace talvik::fuzz {

using namespace std::string_view_literals;

// Ordinary words, words that are each other's tradeouts in the seeds, and the
// awkward ones: empty, NUL, tab, UTF-8 (valid and not), case, one byte.
inline const std::vector<std::string_view>& vocabulary() {
    static const std::vector<std::string_view> words = {
        "Robert"sv, "Bob"sv,   "Rob"sv,    "Smith"sv,  "John"sv,   "J"sv,     "Mary"sv,  "Ann"sv,
        "Lee"sv,    "A"sv,     "a"sv,      "R"sv,      "Jones"sv,  "Van"sv,   "de"sv,    "Jr"sv,
        ""sv,       "\0"sv,    "a\0b"sv,   "\t"sv,     "x\ty"sv,   "Zo\xc3\xab"sv, "\xc3\xa9"sv, "\xff"sv,
        "\xc3"sv,   "ROBERT"sv, "Bobby"sv, "O'Neil"sv, "Lee-Ann"sv, "Smith\t"sv, "-"sv,   "Mary Ann"sv,
    };
    return words;
}

struct Case {
    std::vector<std::string> names;
    std::vector<std::pair<std::string, std::vector<std::string>>> entries;
    int32_t first_row = 0;
    int32_t last_row = INT32_MAX;
    int32_t min_second = 0;
};

namespace detail {

constexpr size_t kMaxNames = 200;
constexpr size_t kMaxWordsPerList = 200;

class Reader {
public:
    explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    bool done() const { return at_ >= bytes_.size(); }
    uint8_t next() { return done() ? 0 : bytes_[at_++]; }

private:
    std::span<const uint8_t> bytes_;
    size_t at_ = 0;
};

// Appends each part: text as it is, numbers in decimal. One call instead of
// a chain of operator+, on which GCC 12 raises false -Wrestrict at -O3.
template <class... Parts>
void put(std::string& out, const Parts&... parts) {
    auto one = [&out](const auto& part) {
        if constexpr (std::is_arithmetic_v<std::remove_cvref_t<decltype(part)>>) {
            out.append(std::to_string(part));
        } else {
            out.append(std::string_view(part));
        }
    };
    (one(parts), ...);
}

template <class... Parts>
std::string cat(const Parts&... parts) {
    std::string out;
    put(out, parts...);
    return out;
}

inline std::string generated(char prefix, int number) {
    std::string s(1, prefix);
    s.append(std::to_string(number));
    return s;
}

// The word a word token stands for.
inline std::string word_of(uint8_t b) {
    if (b < 0x80) return std::string(vocabulary()[b % vocabulary().size()]);
    return generated('w', b - 0x80);
}

// Builds one name: words joined by single spaces unless glued.
struct NameBuilder {
    std::string name;
    std::string last;
    bool glue = false;

    void add(const std::string& word) {
        if (!name.empty() && !glue) name.push_back(' ');
        glue = false;
        name.append(word);
        last = word;
    }
};

// Reads names up to the end of their section.
inline void read_names(Reader& in, std::vector<std::string>& names) {
    NameBuilder nb;
    auto finish = [&] {
        if (names.size() < kMaxNames) names.push_back(std::move(nb.name));
        nb = NameBuilder{};
    };
    while (!in.done()) {
        const uint8_t b = in.next();
        if (b < 0xC0) {
            nb.add(word_of(b));
        } else if (b == 0xC0) {
            nb.name.push_back(' ');
        } else if (b == 0xC1) {
            nb.name.push_back(static_cast<char>(in.next()));
        } else if (b == 0xC2) {
            nb.glue = true;
        } else if (b == 0xC3) {
            nb.add(std::string(40 + in.next(), 'L'));
        } else if (b == 0xC4) {
            const int n = in.next() % 40 + 1;
            for (int k = 0; k < n; ++k) nb.add(generated('d', k));
        } else if (b == 0xC5) {
            nb.add(nb.last);
        } else if (b < 0xE0) {
            finish();
        } else if (b < 0xF0) {
            finish();
            const uint8_t x = in.next();
            if (!names.empty() && names.size() < kMaxNames) names.push_back(names[x % names.size()]);
        } else {
            break;
        }
    }
    if (!nb.name.empty() || nb.glue) finish();
}

// Reads the table's entries to the end of the bytes.
inline void read_entries(Reader& in, Case& c) {
    bool open = false;  // an entry is being read: the next word is a tradeout
    bool glue = false;
    auto current = [&]() -> std::string& {
        auto& [key, words] = c.entries.back();
        return words.empty() ? key : words.back();
    };
    auto add = [&](std::string w) {
        if (!open) {
            c.entries.push_back({std::move(w), {}});
            open = true;
        } else if (glue) {
            current().append(w);
        } else if (c.entries.back().second.size() < kMaxWordsPerList) {
            c.entries.back().second.push_back(std::move(w));
        }
        glue = false;
    };
    while (!in.done()) {
        const uint8_t b = in.next();
        if (b < 0xC0) {
            add(word_of(b));
        } else if (b == 0xC0) {
            add(std::string());
        } else if (b == 0xC1) {
            const char x = static_cast<char>(in.next());
            if (!open) add(std::string());
            current().push_back(x);
        } else if (b == 0xC2) {
            glue = open;
        } else if (b == 0xC3) {
            add(std::string(40 + in.next(), 'L'));
        } else if (b == 0xC4) {
            const int n = in.next() % 40 + 1;
            for (int k = 0; k < n; ++k) add(generated('d', k));
        } else if (b == 0xC5) {
            for (std::string_view v : vocabulary()) add(std::string(v));
        } else {
            open = false;
            glue = false;
        }
    }
}

// The names laid out `copies` times, each copy after `filler` two-word names
// that match nothing.
inline std::vector<std::string> lay_out(const std::vector<std::string>& names, int copies, int filler) {
    std::vector<std::string> out;
    for (int c = 0; c < copies; ++c) {
        for (int f = 0; f < filler && out.size() < kMaxNames; ++f) {
            out.push_back(cat(generated('f', c * filler + f), " ", generated('g', c * filler + f)));
        }
        for (const std::string& name : names) {
            if (out.size() >= kMaxNames) break;
            out.push_back(name);
        }
    }
    return out;
}

}  // namespace detail

inline Case decode(std::span<const uint8_t> bytes) {
    detail::Reader in(bytes);
    const uint8_t h0 = in.next();
    const uint8_t h1 = in.next();
    const uint8_t h2 = in.next();
    const uint8_t h3 = in.next();
    Case c;
    std::vector<std::string> names;
    detail::read_names(in, names);
    c.names = detail::lay_out(names, 1 + (h3 >> 6), (h3 & 0x20) != 0 ? 2 * (h3 & 0x1F) : 0);
    detail::read_entries(in, c);
    const auto span = static_cast<int32_t>(c.names.size()) + 2;
    c.first_row = h0 % span;
    c.last_row = h1 == 255 ? INT32_MAX : h1 % span;
    c.min_second = h2 % span;
    return c;
}

inline Case decode(std::string_view bytes) {
    return decode(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

inline TradeoutTablePtr build_table(const Case& c) { return build_tradeout_table(c.entries); }

// A readable, C-escaped copy of arbitrary bytes.
inline std::string escaped(std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char ch : s) {
        const auto u = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (u >= 0x20 && u < 0x7F) {
            out += ch;
        } else {
            out += "\\x";
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    out.push_back('"');
    return out;
}

inline std::string describe(const Case& c) {
    using detail::cat, detail::put;
    std::string out = cat("names (", c.names.size(), "):\n");
    for (size_t i = 0; i < c.names.size(); ++i) put(out, "  ", i, " ", escaped(c.names[i]), "\n");
    put(out, "table (", c.entries.size(), " entries):\n");
    for (const auto& [key, words] : c.entries) {
        put(out, "  ", escaped(key), " ->");
        for (const std::string& w : words) put(out, " ", escaped(w));
        put(out, "\n");
    }
    put(out, "range: first_row ", c.first_row, ", last_row ", c.last_row, ", min_second ", c.min_second, "\n");
    return out;
}

namespace detail {

using Pairs = std::vector<std::pair<int32_t, int32_t>>;

inline Pairs pairs_of(const std::vector<NamePair>& v) {
    Pairs out;
    for (const NamePair& p : v) out.emplace_back(p.name1, p.name2);
    return out;
}

inline std::string pair_text(std::pair<int32_t, int32_t> p) {
    return cat("(", p.first, ", ", p.second, ")");
}

// What differs between the expected pairs and those found, briefly.
inline std::string diff(const Pairs& want, const Pairs& got) {
    std::string out;
    Pairs w = want, g = got, missing, extra;
    std::sort(w.begin(), w.end());
    std::sort(g.begin(), g.end());
    std::set_difference(w.begin(), w.end(), g.begin(), g.end(), std::back_inserter(missing));
    std::set_difference(g.begin(), g.end(), w.begin(), w.end(), std::back_inserter(extra));
    auto list = [&](const char* what, const Pairs& ps) {
        if (ps.empty()) return;
        put(out, "    ", what, ":");
        for (size_t k = 0; k < ps.size() && k < 20; ++k) put(out, " ", pair_text(ps[k]));
        if (ps.size() > 20) put(out, " ... (", ps.size(), " in all)");
        put(out, "\n");
    };
    list("missing", missing);
    list("extra", extra);
    if (missing.empty() && extra.empty()) {
        for (size_t k = 0; k < want.size(); ++k) {
            if (want[k] != got[k]) {
                put(out, "    out of order at ", k, ": ", pair_text(got[k]), " where ", pair_text(want[k]),
                    " belongs\n");
                break;
            }
        }
    }
    return out;
}

// Appends to `report` what is wrong with a stored result.
inline void compare_stored(const std::string& what, const PairResult& r, const Pairs& want, std::string& report) {
    if (!r.ok()) {
        put(report, what, ": error ", static_cast<int>(r.error()), "\n");
        return;
    }
    Pairs got;
    r.for_each([&](NamePair p) { got.emplace_back(p.name1, p.name2); });
    std::vector<NamePair> copied(static_cast<size_t>(std::max<int64_t>(r.count(), 0)));
    r.copy_to(copied.data());
    if (got != want || r.count() != static_cast<int64_t>(want.size())) {
        put(report, what, ": ", got.size(), " pairs (count() ", r.count(), "), the reference ", want.size(), "\n",
            diff(want, got));
    } else if (pairs_of(copied) != got) {
        put(report, what, ": copy_to differs from for_each\n", diff(got, pairs_of(copied)));
    }
}

inline void compare_count(const std::string& what, const PairResult& r, size_t want, std::string& report) {
    if (!r.ok()) {
        put(report, what, ": error ", static_cast<int>(r.error()), "\n");
    } else if (r.count() != static_cast<int64_t>(want)) {
        put(report, what, ": count ", r.count(), ", the reference ", want, "\n");
    }
}

// Per name, the smallest index of its component in the graph of `pairs`.
inline std::vector<int32_t> components(size_t n, const Pairs& pairs) {
    std::vector<int32_t> parent(n);
    std::iota(parent.begin(), parent.end(), 0);
    auto root = [&](int32_t x) {
        while (parent[static_cast<size_t>(x)] != x) x = parent[static_cast<size_t>(x)];
        return x;
    };
    for (auto [a, b] : pairs) {
        const int32_t ra = root(a), rb = root(b);
        parent[static_cast<size_t>(std::max(ra, rb))] = std::min(ra, rb);
    }
    for (size_t k = 0; k < n; ++k) parent[k] = root(static_cast<int32_t>(k));
    return parent;
}

inline void compare_groups(const std::string& what, const PairResult& r, const std::vector<int32_t>& want,
                           std::string& report) {
    if (!r.ok()) {
        put(report, what, ": error ", static_cast<int>(r.error()), "\n");
        return;
    }
    if (r.labels() == want) return;
    put(report, what, ": labels differ");
    for (size_t k = 0; k < want.size() && k < r.labels().size(); ++k) {
        if (r.labels()[k] != want[k]) {
            put(report, " (first at name ", k, ": ", r.labels()[k], ", want ", want[k], ")");
            break;
        }
    }
    put(report, ", ", r.labels().size(), " labels for ", want.size(), " names\n");
}

}  // namespace detail

// Empty when every search agrees with the reference; otherwise what differed.
// Searches: the whole list stored on 1 and 3 workers, the row range through a
// prebuilt index on 1 and 3, counts of both, and the groups of the whole list.
// The names before first_row indexed, the others looked up in that index:
// each query's matches are the every-pair reference's pairs across the cut.
inline void check_lookup(const Case& c, const TradeoutTable& table, std::span<const std::string_view> names,
                         const detail::Pairs& all, std::string& report) {
    using namespace detail;
    const auto cut = std::min(static_cast<size_t>(std::max(c.first_row, 0)), names.size());
    Pairs want;
    for (const auto& [i, j] : all) {
        if (static_cast<size_t>(i) < cut && static_cast<size_t>(j) >= cut) {
            want.emplace_back(j - static_cast<int32_t>(cut), i);
        }
    }
    std::sort(want.begin(), want.end());
    SearchIndex::Built indexed = SearchIndex::build(names.first(cut), table, 1);
    if (indexed.index == nullptr) {
        report += "SearchIndex::build failed for the lookup\n";
        return;
    }
    const auto lookup = NameLookup::make(*indexed.index);
    const LookupResult r = lookup == nullptr ? LookupResult{SearchError::out_of_memory, {}, {}}
                                             : lookup->find(names.subspan(cut), LookupOptions{});
    if (r.error != SearchError::none) {
        put(report, "lookup: error ", static_cast<int>(r.error), "\n");
    } else if (const Pairs got = pairs_of(r.pairs); got != want) {
        put(report, "lookup of the names from ", cut, ": ", got.size(), " pairs, the reference ", want.size(), "\n",
            diff(want, got));
    }
}

inline std::string check(const Case& c) {
    using namespace detail;
    TradeoutTablePtr table = build_table(c);
    if (table == nullptr) return "the table could not be built\n";
    const std::vector<std::string_view> views(c.names.begin(), c.names.end());
    const std::span<const std::string_view> names(views);
    const Pairs all = pairs_of(reference::every_pair(names, *table));
    const Pairs range = pairs_of(reference::every_pair(names, *table, c.first_row, c.last_row, c.min_second));
    std::string report;
    for (int32_t threads : {1, 3}) {
        const std::string t = cat(", threads ", threads);
        SearchOptions o;
        o.threads = threads;
        compare_stored(cat("whole list", t), find_pairs(names, *table, o), all, report);
        o.output = PairOutput::count;
        compare_count(cat("whole list, count", t), find_pairs(names, *table, o), all.size(), report);
        o.output = PairOutput::groups;
        compare_groups(cat("groups", t), find_pairs(names, *table, o), components(c.names.size(), all), report);
    }
    SearchIndex::Built built = SearchIndex::build(names, *table, 3);
    if (built.index == nullptr) return cat(report, "SearchIndex::build failed\n");
    for (int32_t threads : {1, 3}) {
        const std::string t = cat(", threads ", threads);
        SearchOptions o;
        o.threads = threads;
        o.first_row = c.first_row;
        o.last_row = c.last_row;
        o.min_second = c.min_second;
        compare_stored(cat("row range", t), find_pairs(*built.index, o), range, report);
        o.output = PairOutput::count;
        compare_count(cat("row range, count", t), find_pairs(*built.index, o), range.size(), report);
    }
    check_lookup(c, *table, names, all, report);
    return report;
}

}  // namespace talvik::fuzz
