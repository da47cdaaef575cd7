// libFuzzer target: the scored search (a floor, blocks, scores kept or not)
// against the reference score, on the names and table that fuzz_case.h
// decodes after two mode bytes (score_case.h). A mismatch prints the case
// and what differed, then aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "score_case.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const talvik::fuzz::ScoreInput in = talvik::fuzz::decode_scored(std::span<const uint8_t>(data, size));
    const std::string report = talvik::fuzz::check_scores(in.c, in.mode);
    if (!report.empty()) {
        std::fprintf(stderr, "the scored search disagrees with the reference score\n%s%s%s",
                     talvik::fuzz::describe(in.c).c_str(), talvik::fuzz::describe(in.mode).c_str(), report.c_str());
        std::abort();
    }
    return 0;
}
