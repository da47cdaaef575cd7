// Inputs the fuzzer (engine/fuzz) found, replayed through its own decoding
// and its own checks against the every-pair reference: the whole list on 1
// and 3 workers (stored, counted, grouped) and a row range through a prebuilt
// index. `python3 engine/fuzz/make_corpus.py --literal FILE` prints a find
// as a literal for this table.
#include <gtest/gtest.h>

#include <cstddef>
#include <string_view>

#include "fuzz_case.h"

using namespace std::literals;

namespace talvik::fuzz {
namespace {

struct Find {
    const char* what;
    std::string_view input;
    size_t names;  // what the input decodes to; a change of format shows here
};

const Find kFinds[] = {
    {"a WorkerFn copied from a non-const WorkerFn took the template constructor and pointed at its source, "
     "a parameter gone by the time the team's threads called it: any search whose team had two workers "
     "(65 names or more) crashed",
     "\x00\xff\x00?\x00\x03\xc6\x01\x03\xc6\x03\x00\xc6\x05\x03\xc6\x04\x03\xc6\xc1M\xc1" "a\xc1" "d\xc1o\xc1n\xc1n"
     "\xc1" "a\xc6\xf0\x00\x01\x02\xc6\x01\x00\xc6\x05\x04\xc6\x04\x05\xc6"sv,
     68},
};

TEST(FuzzRegressions, IndexedSearchAgreesWithEveryPair) {
    for (const Find& find : kFinds) {
        SCOPED_TRACE(find.what);
        const Case c = decode(find.input);
        ASSERT_EQ(c.names.size(), find.names) << describe(c);
        EXPECT_EQ(check(c), "") << describe(c);
    }
}

}  // namespace
}  // namespace talvik::fuzz
