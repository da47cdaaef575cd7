// Name normalisation in the engine: what the steps give on cases that each
// exercise one of them, the bytes an ill-formed name is reported at, the
// drop list, and that a team gives what one worker gives. The Python tests
// hold the steps to unicodedata; here is what Python cannot reach.
#include <gtest/gtest.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "normalize_case.h"
#include "talvik/normalize.h"

using namespace std::literals;

namespace talvik {
namespace {

std::string norm(std::string_view name, const DropWords& drop = DropWords{}) {
    std::string out = "kept|";  // appended to, never overwritten
    const NormalizeFailure f = normalize_name(name, drop, out);
    EXPECT_EQ(f.error, NormalizeError::none) << name;
    EXPECT_EQ(out.substr(0, 5), "kept|");
    return out.substr(5);
}

DropWords drop_words(std::vector<std::string_view> entries) {
    DropWords d;
    EXPECT_EQ(DropWords::make(entries, d).error, NormalizeError::none);
    return d;
}

TEST(Normalize, EachStep) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"Ann LEE", "ann lee"},                       // the ASCII path
        {"O'Brien D\u2019Angelo `x", "obrien dangelo x"},
        {"Smith-Jones, J.R.R.", "smith jones j r r"},
        {"Ren\u00e9e Stra\u00dfe \ufb01", "renee strasse fi"},
        {"\u0130 \u03a3\u03c2", "i \u03c3\u03c3"},
        {"a\0b\x7f" "c\td"sv, "a b c d"},
        {"Jo\u200dhn Sm\u00adith", "john smith"},
        {"\uac00\u11a7", "\uac00\u11a7"},            // utf8proc alone would lose the U+11A7
        {"\u1100\u1161\u11a8", "\uac01"},             // conjoining jamo compose
        {"\u0eb1\u0ebc\u302f\U0001d16f", "\U0001d16f\u302f"},  // marks in order again once 0EBC is gone
        {" \u3000 ", ""},
        {"", ""},
    };
    for (const auto& [name, expected] : cases) EXPECT_EQ(norm(name), expected) << name;
}

TEST(Normalize, IllFormedUtf8IsReportedWherePythonWould) {
    struct Bad {
        std::string_view bytes;
        size_t at, end;
    };
    const Bad cases[] = {
        {"\xff"sv, 0, 1},          {"ab\xc3"sv, 2, 3},       {"ab\xe2\x82x"sv, 2, 4},
        {"\xe0\x80\x80"sv, 0, 1},  {"x\xed\xa0\x80"sv, 1, 2}, {"\xf4\x90\x80\x80"sv, 0, 1},
        {"\xc0\xaf"sv, 0, 1},      {"\xf0\x9f\x98"sv, 0, 3},  {"ok \x80"sv, 3, 4},
    };
    for (const Bad& b : cases) {
        std::string out = "kept";
        const NormalizeFailure f = normalize_name(b.bytes, DropWords{}, out);
        EXPECT_EQ(f.error, NormalizeError::invalid_utf8);
        EXPECT_EQ(f.at, b.at);
        EXPECT_EQ(f.end, b.end);
        EXPECT_EQ(out, "kept");  // left as it was
    }
}

TEST(Normalize, DropListTakesTheLongestPhraseAndRepeats) {
    const DropWords d = drop_words({"Mr.", "S.A.", "s.a.r.l.", "co", "", "--"});
    EXPECT_EQ(d.size(), 4u);
    EXPECT_EQ(d.longest(), 4u);
    EXPECT_EQ(norm("Mr Ann Lee", d), "ann lee");
    EXPECT_EQ(norm("Dupont S.A.R.L.", d), "dupont");
    EXPECT_EQ(norm("Dupont S.A. R", d), "dupont r");
    EXPECT_EQ(norm("Ana S. Co. A. Silva", d), "ana silva");  // "co" goes, then "s a"
    EXPECT_EQ(norm("mr mr co", d), "");
    EXPECT_EQ(norm("mrs comr", d), "mrs comr");  // whole words only

    DropWords bad;
    const std::string_view entries[] = {"ok", "\xc3("sv};
    const NormalizeFailure f = DropWords::make(entries, bad);
    EXPECT_EQ(f.error, NormalizeError::invalid_utf8);
    EXPECT_EQ(f.index, 1u);
}

TEST(Normalize, ATeamGivesWhatOneWorkerGives) {
    std::vector<std::string> owned;
    for (int i = 0; i < 10000; ++i) owned.push_back(i % 3 ? "Ms. Zo\u00eb-" + std::to_string(i) : "");
    const std::vector<std::string_view> names(owned.begin(), owned.end());
    const DropWords d = drop_words({"ms"});
    NormalizeOptions one, team;
    team.threads = 4;
    const NormalizedNames a = normalize_names(names, d, one), b = normalize_names(names, d, team);
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(a.bytes, b.bytes);
    EXPECT_EQ(a.offsets, b.offsets);
    ASSERT_EQ(a.offsets.size(), names.size() + 1);
    EXPECT_EQ(std::string_view(a.bytes.data() + a.offsets[1], a.offsets[2] - a.offsets[1]), "zoe 1");
}

TEST(Normalize, FirstIllFormedNameAndStop) {
    std::vector<std::string_view> names(9000, "Ann Lee");
    names[8000] = "\xff";
    names[5000] = "a\xe2\x82";
    NormalizeOptions options;
    options.threads = 3;
    NormalizedNames r = normalize_names(names, DropWords{}, options);
    EXPECT_EQ(r.failure.error, NormalizeError::invalid_utf8);
    EXPECT_EQ(r.failure.index, 5000u);
    EXPECT_EQ(r.failure.at, 1u);
    EXPECT_TRUE(r.bytes.empty() && r.offsets.empty());

    StopToken stop;
    stop.request_stop();
    options.stop = &stop;
    r = normalize_names(std::span(names).first(4000), DropWords{}, options);
    EXPECT_EQ(r.failure.error, NormalizeError::stopped);
}

// Inputs fuzz_normalize found, replayed through its checks.
TEST(Normalize, FuzzRegressions) {
    const std::string_view finds[] = {
        "\x00\xea\xb0\x80\xe1\x86\xa7"sv,  // LV + U+11A7, which utf8proc composed away
        "\x00\xe0\xba\xbc\xe3\x80\xaf\xf0\x9d\x85\xaf"sv,  // marks out of order once a class-0 mark went
        "\x01s co a\nS.CO.A"sv,  // a removal that joins a phrase
    };
    for (const std::string_view input : finds) {
        const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(input.data()), input.size());
        EXPECT_EQ(fuzz::check_normalize(bytes), "");
    }
}

}  // namespace
}  // namespace talvik
