// libFuzzer target: the indexed search against the every-pair reference on
// the names and table that fuzz_case.h decodes from the input, and its
// scores against the reference score (score_case.h, whole list, no floor, no
// blocks). A mismatch prints the case and what differed, then aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "fuzz_case.h"
#include "score_case.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const talvik::fuzz::Case c = talvik::fuzz::decode(std::span<const uint8_t>(data, size));
    const std::string report = talvik::fuzz::check(c) + talvik::fuzz::check_scores(c, talvik::fuzz::ScoreMode{});
    if (!report.empty()) {
        std::fprintf(stderr, "find_pairs disagrees with reference::every_pair\n%s%s",
                     talvik::fuzz::describe(c).c_str(), report.c_str());
        std::abort();
    }
    return 0;
}
