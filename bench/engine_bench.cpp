// Times the engine's pair search alone, indexed against every pair, on the
// bundled sample: medians of several runs made side by side.
//   engine_bench NAMES.txt NICKNAMES.json [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pair_search.h"
#include "tradeout_table.h"

using namespace talvik;

namespace {

std::string read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Just enough JSON for {"key": ["word", ...], ...} with plain strings.
std::vector<std::pair<std::string, std::vector<std::string>>> read_table(const std::string& json) {
    std::vector<std::pair<std::string, std::vector<std::string>>> entries;
    bool in_list = false;
    for (size_t k = 0; k < json.size(); ++k) {
        const char c = json[k];
        if (c == '[') in_list = true;
        if (c == ']') in_list = false;
        if (c != '"') continue;
        std::string s;
        for (++k; k < json.size() && json[k] != '"'; ++k) s += json[k] == '\\' ? json[++k] : json[k];
        if (in_list) {
            entries.back().second.push_back(s);
        } else {
            entries.push_back({s, {}});
        }
    }
    return entries;
}

// The table as the module builds it: a one-byte key is its own first word.
TradeoutTablePtr build_table(const std::vector<std::pair<std::string, std::vector<std::string>>>& entries) {
    TradeoutTablePtr table = make_tradeout_table(static_cast<int64_t>(entries.size()));
    for (const auto& [key, words] : entries) {
        const uint64_t slot = *tradeout_table_claim_slot(*table, key);
        tradeout_table_store_key(*table, slot, key);
        auto list = make_match_list(static_cast<int32_t>(words.size()) + 1);
        if (key.size() == 1) match_list_add(*list, key);
        for (const auto& w : words) match_list_add(*list, w);
        table->entries[slot].matches = std::move(list);
    }
    return table;
}

struct Timing {
    double seconds;
    int64_t pairs;
};

Timing time_search(const std::vector<std::string_view>& names, const TradeoutTable& table, int32_t threads,
                   SearchStrategy strategy, int runs) {
    std::vector<double> times;
    int64_t pairs = 0;
    for (int r = 0; r < runs; ++r) {
        std::vector<NamePairSet> sets = make_thread_results(threads);
        PairSearchContext ctx;
        ctx.tt = &table;
        ctx.name_ptrs = names.data();
        ctx.n_names = static_cast<int32_t>(names.size());
        ctx.thread_results = sets.data();
        ctx.strategy = strategy;
        const auto start = std::chrono::steady_clock::now();
        if (search_name_pairs(ctx, threads) != SearchError::none) std::fprintf(stderr, "search failed\n");
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        pairs = 0;
        for (const auto& set : sets) pairs += set.count();
    }
    std::nth_element(times.begin(), times.begin() + runs / 2, times.end());
    return {times[static_cast<size_t>(runs / 2)], pairs};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s NAMES.txt NICKNAMES.json [RUNS]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    const std::string text = read_file(argv[1]);
    std::vector<std::string_view> names;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        names.emplace_back(text.data() + start, end - start);
    }
    TradeoutTablePtr table = build_table(read_table(read_file(argv[2])));

    std::printf("%zu names, median of %d runs\n", names.size(), runs);
    std::printf("%8s %14s %14s %10s\n", "threads", "every pair", "indexed", "speed-up");
    for (int32_t threads : {1, 2}) {
        const Timing every = time_search(names, *table, threads, SearchStrategy::every_pair, runs);
        const Timing indexed = time_search(names, *table, threads, SearchStrategy::indexed, runs);
        if (every.pairs != indexed.pairs) std::fprintf(stderr, "pair counts differ!\n");
        std::printf("%8d %13.4fs %13.4fs %9.0fx   (%lld pairs)\n", threads, every.seconds, indexed.seconds,
                    every.seconds / indexed.seconds, static_cast<long long>(indexed.pairs));
    }
    return 0;
}
