// find_variants alone on a file of words, one a line: the median of a few
// runs and the pairs found, for each max_edits asked.
// Usage: variants_engine_bench WORDS [max_edits=1,2] [min_length (0: 4 and 7)] [threads=2] [runs=3]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "talvik/variants.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s WORDS [max_edits] [min_length] [threads] [runs]\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1]);
    std::vector<std::string> words;
    for (std::string line; std::getline(in, line);) words.push_back(line);
    const std::vector<std::string_view> views(words.begin(), words.end());
    const std::string edits = argc > 2 ? argv[2] : "1,2";
    const int min_length = argc > 3 ? std::atoi(argv[3]) : 0;
    const int threads = argc > 4 ? std::atoi(argv[4]) : 2;
    const int runs = argc > 5 ? std::atoi(argv[5]) : 3;
    for (char e : edits) {
        if (e != '1' && e != '2') continue;
        talvik::VariantOptions o;
        o.max_edits = e - '0';
        o.min_length = min_length > 0 ? min_length : (o.max_edits == 1 ? 4 : 7);
        o.threads = threads;
        std::vector<double> seconds;
        size_t pairs = 0;
        for (int r = 0; r < runs; ++r) {
            const auto start = std::chrono::steady_clock::now();
            const talvik::VariantResult result = talvik::find_variants(views, o);
            seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            if (result.error != talvik::VariantError::none) return 1;
            pairs = result.pairs.size();
        }
        std::sort(seconds.begin(), seconds.end());
        std::printf("%zu words, max_edits %d, min_length %d, threads %d: median %.3f s (of %d), %zu pairs\n",
                    words.size(), o.max_edits, o.min_length, threads, seconds[seconds.size() / 2], runs, pairs);
    }
    return 0;
}
