// libFuzzer target: the indexed search against the every-pair reference on
// the names and table that fuzz_case.h decodes from the input. A mismatch
// prints the case and what differed, then aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "fuzz_case.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const talvik::fuzz::Case c = talvik::fuzz::decode(std::span<const uint8_t>(data, size));
    const std::string report = talvik::fuzz::check(c);
    if (!report.empty()) {
        std::fprintf(stderr, "find_pairs disagrees with reference::every_pair\n%s%s",
                     talvik::fuzz::describe(c).c_str(), report.c_str());
        std::abort();
    }
    return 0;
}
