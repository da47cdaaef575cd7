// Times the engine's pair search alone, indexed against every pair: medians
// of several runs made side by side. One name per line; the table as JSON.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <cmath>
#include <thread>

#include "every_pair.h"
#include "talvik/find_pairs.h"
#include "talvik/tradeout_table.h"

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

struct Timing {
    double seconds;
    int64_t pairs;
    int64_t candidates;
    double index_seconds;
};

enum class Strategy { indexed, every_pair };

// The reference on `threads` threads, each taking rows of equal total work:
// row i makes n - 1 - i comparisons, so the cuts fall where the triangle's
// area divides evenly.
int64_t every_pair_count(const std::vector<std::string_view>& names, const TradeoutTable& table, int32_t threads) {
    const double n = static_cast<double>(names.size());
    std::vector<int64_t> counts(static_cast<size_t>(threads), 0);
    std::vector<std::thread> team;
    for (int32_t t = 0; t < threads; ++t) {
        auto cut = [&](int32_t k) { return static_cast<int32_t>(n - n * std::sqrt(1.0 - double(k) / threads)); };
        const int32_t first = cut(t);
        const int32_t last = t + 1 == threads ? static_cast<int32_t>(names.size()) : cut(t + 1);
        team.emplace_back([&, t, first, last] {
            counts[static_cast<size_t>(t)] =
                static_cast<int64_t>(reference::every_pair(names, table, first, last).size());
        });
    }
    for (std::thread& th : team) th.join();
    int64_t total = 0;
    for (int64_t c : counts) total += c;
    return total;
}

Timing time_search(const std::vector<std::string_view>& names, const TradeoutTable& table, int32_t threads,
                   Strategy strategy, int runs) {
    std::vector<double> times;
    Timing t{0, 0, 0, 0};
    for (int r = 0; r < runs; ++r) {
        const auto start = std::chrono::steady_clock::now();
        if (strategy == Strategy::every_pair) {
            t.pairs = every_pair_count(names, table, threads);
        } else {
            SearchIndex::Built built = SearchIndex::build(names, table, threads);
            t.index_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            SearchOptions options;
            options.threads = threads;
            PairResult result = built.index ? find_pairs(*built.index, options) : PairResult::failure(built.error);
            if (!result.ok()) std::fprintf(stderr, "search failed\n");
            t.pairs = result.count();
            t.candidates = result.diagnostics().candidates;
        }
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::nth_element(times.begin(), times.begin() + runs / 2, times.end());
    t.seconds = times[static_cast<size_t>(runs / 2)];
    return t;
}

long peak_rss_kb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

// engine_bench NAMES.txt TABLE.json [RUNS] [--threads 1,2] [--indexed-only] [--json]
int main(int argc, char** argv) {
    std::vector<const char*> positional;
    std::vector<int32_t> team = {1, 2};
    bool every_pair = true;
    bool json = false;
    for (int k = 1; k < argc; ++k) {
        const std::string_view arg = argv[k];
        if (arg == "--indexed-only") {
            every_pair = false;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--threads" && k + 1 < argc) {
            team.clear();
            for (const char* p = argv[++k]; *p != '\0';) {
                char* end = nullptr;
                team.push_back(static_cast<int32_t>(std::strtol(p, &end, 10)));
                p = *end == ',' ? end + 1 : end;
            }
        } else {
            positional.push_back(argv[k]);
        }
    }
    if (positional.size() < 2) {
        std::fprintf(stderr, "usage: %s NAMES.txt TABLE.json [RUNS] [--threads 1,2] [--indexed-only] [--json]\n",
                     argv[0]);
        return 2;
    }
    const int runs = positional.size() > 2 ? std::max(1, std::atoi(positional[2])) : 5;
    const std::string text = read_file(positional[0]);
    std::vector<std::string_view> names;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        names.emplace_back(text.data() + start, end - start);
    }
    TradeoutTablePtr table = build_tradeout_table(read_table(read_file(positional[1])));

    if (!json) {
        std::printf("%zu names, median of %d runs\n", names.size(), runs);
        std::printf("%8s %14s %14s %10s %12s %16s\n", "threads", "every pair", "indexed", "speed-up", "pairs",
                    "checked per pair");
    }
    for (int32_t threads : team) {
        const Timing indexed = time_search(names, *table, threads, Strategy::indexed, runs);
        const double per_pair =
            indexed.pairs > 0 ? static_cast<double>(indexed.candidates) / static_cast<double>(indexed.pairs) : 0.0;
        Timing every{0, indexed.pairs, 0, 0};
        if (every_pair) {
            every = time_search(names, *table, threads, Strategy::every_pair, runs);
            if (every.pairs != indexed.pairs) std::fprintf(stderr, "pair counts differ!\n");
        }
        if (json) {
            std::printf("{\"threads\": %d, \"indexed_s\": %.6f, \"every_pair_s\": %s, \"pairs\": %lld, "
                        "\"candidates\": %lld, \"index_s\": %.6f, \"rss_peak_kb\": %ld}\n",
                        threads, indexed.seconds, every_pair ? std::to_string(every.seconds).c_str() : "null",
                        static_cast<long long>(indexed.pairs), static_cast<long long>(indexed.candidates),
                        indexed.index_seconds, peak_rss_kb());
        } else if (every_pair) {
            std::printf("%8d %13.4fs %13.4fs %9.0fx %12lld %16.2f\n", threads, every.seconds, indexed.seconds,
                        every.seconds / indexed.seconds, static_cast<long long>(indexed.pairs), per_pair);
        } else {
            std::printf("%8d %14s %13.4fs %10s %12lld %16.2f   (index %.3fs)\n", threads, "-", indexed.seconds, "-",
                        static_cast<long long>(indexed.pairs), per_pair, indexed.index_seconds);
        }
    }
    return 0;
}
