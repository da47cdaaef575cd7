// libFuzzer target: normalisation of arbitrary bytes, valid UTF-8 or not
// (normalize_case.h says what is checked). A failure prints why and aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "normalize_case.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string report = talvik::fuzz::check_normalize(std::span<const uint8_t>(data, size));
    if (!report.empty()) {
        std::fprintf(stderr, "normalize: %s\n", report.c_str());
        std::abort();
    }
    return 0;
}
