// How long the engine takes to stop once asked to: the poll says stop at a
// series of moments through an index build and a search, and the time from
// that answer to the call's return is measured. Prints the largest and the
// median over the moments, per phase.
//   stop_latency NAMES WORDS_PER_NAME [VOCABULARY] [THREADS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "talvik/find_pairs.h"
#include "talvik/tradeout_table.h"

namespace {

using Clock = std::chrono::steady_clock;

struct StopAt {
    Clock::time_point start;
    double after_s;
    Clock::time_point asked{};

    static bool keep_going(void* self) noexcept {
        auto& s = *static_cast<StopAt*>(self);
        if (Clock::now() - s.start < std::chrono::duration<double>(s.after_s)) return true;
        if (s.asked == Clock::time_point{}) s.asked = Clock::now();
        return false;
    }
};

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

void report(const char* phase, std::vector<double> latencies) {
    if (latencies.empty()) return;
    std::sort(latencies.begin(), latencies.end());
    std::printf("%-7s stops %3zu  median %.3f s  max %.3f s\n", phase, latencies.size(),
                latencies[latencies.size() / 2], latencies.back());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: stop_latency NAMES WORDS_PER_NAME [VOCABULARY] [THREADS]\n");
        return 2;
    }
    const long n = std::atol(argv[1]), k = std::atol(argv[2]);
    const long vocab = argc > 3 ? std::atol(argv[3]) : 50'000;
    const int threads = argc > 4 ? std::atoi(argv[4]) : 2;
    std::mt19937_64 rng(1);
    std::vector<std::string> text(static_cast<size_t>(n));
    for (auto& name : text) {
        for (long w = 0; w < k; ++w) name += (w ? " w" : "w") + std::to_string(rng() % static_cast<uint64_t>(vocab));
    }
    const std::vector<std::string_view> names(text.begin(), text.end());
    const talvik::TradeoutTablePtr table = talvik::build_tradeout_table(std::vector<std::pair<std::string, std::vector<std::string>>>{});

    // An undisturbed run of each phase gives the span to stop within.
    auto t0 = Clock::now();
    auto built = talvik::SearchIndex::build(names, *table, threads);
    const double build_s = seconds(t0, Clock::now());
    talvik::SearchOptions count;
    count.threads = threads;
    count.output = talvik::PairOutput::count;
    t0 = Clock::now();
    const auto found = talvik::find_pairs(*built.index, count);
    const double search_s = seconds(t0, Clock::now());
    std::printf("%ld names of %ld words: build %.2f s, search %.2f s, %lld pairs\n", n, k, build_s, search_s,
                static_cast<long long>(found.count()));

    std::vector<double> build_stops, search_stops;
    for (int step = 1; step < 20; ++step) {
        StopAt at{Clock::now(), build_s * step / 20};
        const talvik::Poll poll{&StopAt::keep_going, &at, 50};
        auto partial = talvik::SearchIndex::build(names, *table, threads, nullptr, &poll);
        if (at.asked != Clock::time_point{}) build_stops.push_back(seconds(at.asked, Clock::now()));
        (void)partial;
    }
    for (int step = 1; step < 20; ++step) {
        StopAt at{Clock::now(), search_s * step / 20};
        const talvik::Poll poll{&StopAt::keep_going, &at, 50};
        talvik::SearchOptions o = count;
        o.poll = &poll;
        (void)talvik::find_pairs(*built.index, o);
        if (at.asked != Clock::time_point{}) search_stops.push_back(seconds(at.asked, Clock::now()));
    }
    report("build", build_stops);
    report("search", search_stops);
}
