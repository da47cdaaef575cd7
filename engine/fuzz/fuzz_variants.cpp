// libFuzzer target: find_variants against the every-pair reference. The
// first byte picks the options (bit 0: max_edits 1 or 2; bit 1: swaps; bits
// 2-4: min_length 0 to 7), the rest is words separated by '\n' (any other
// byte, invalid UTF-8 included, belongs to a word). A mismatch prints the case
// and aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "talvik/variants.h"
#include "variants_reference.h"

namespace {

std::string escaped(std::string_view w) {
    std::string out;
    for (unsigned char c : w) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::vector<std::string_view> words;
    for (size_t start = 0; start <= rest.size() && words.size() < 300;) {
        size_t end = rest.find('\n', start);
        if (end == std::string_view::npos) end = rest.size();
        words.push_back(rest.substr(start, end - start));
        start = end + 1;
    }
    talvik::VariantOptions o;
    o.max_edits = 1 + (data[0] & 1);
    o.transpositions = (data[0] >> 1 & 1) != 0;
    o.min_length = data[0] >> 2 & 7;
    const auto expected = talvik::reference::every_variant(words, o.max_edits, o.min_length, o.transpositions);
    for (int32_t threads : {1, 3}) {
        o.threads = threads;
        const talvik::VariantResult got = talvik::find_variants(words, o);
        if (got.error != talvik::VariantError::none || got.pairs != expected) {
            std::fprintf(stderr, "find_variants disagrees with reference::every_variant: max_edits %d, swaps %d, "
                         "min_length %d, threads %d, error %d, %zu pairs against %zu\n",
                         o.max_edits, o.transpositions ? 1 : 0, o.min_length, threads, static_cast<int>(got.error),
                         got.pairs.size(), expected.size());
            for (size_t i = 0; i < words.size(); ++i) std::fprintf(stderr, "  [%zu] \"%s\"\n", i, escaped(words[i]).c_str());
            std::abort();
        }
    }
    return 0;
}
