// find_variants against the every-pair reference on random vocabularies, the
// edit distance and the UTF-8 decoding it rests on, and hand cases.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "talvik/variants.h"
#include "variants_reference.h"

namespace talvik {
namespace {

std::vector<std::string_view> views_of(const std::vector<std::string>& words) { return {words.begin(), words.end()}; }

std::vector<VariantPair> fast(const std::vector<std::string>& words, int32_t k, int32_t min_length, bool swaps,
                              int32_t threads = 1) {
    VariantOptions o;
    o.max_edits = k;
    o.min_length = min_length;
    o.transpositions = swaps;
    o.threads = threads;
    const auto views = views_of(words);
    VariantResult r = find_variants(views, o);
    EXPECT_EQ(r.error, VariantError::none);
    return r.pairs;
}

struct Hand {
    const char* a;
    const char* b;
    int32_t k;
    bool swaps;
    int32_t min_length;
    bool found;
};

class HandCases : public ::testing::TestWithParam<Hand> {};

TEST_P(HandCases, FoundOrNot) {
    const Hand& h = GetParam();
    const std::vector<std::string> words{h.a, h.b};
    const auto pairs = fast(words, h.k, h.min_length, h.swaps);
    EXPECT_EQ(!pairs.empty(), h.found) << h.a << " ~ " << h.b;
    const auto views = views_of(words);
    EXPECT_EQ(reference::every_variant(views, h.k, h.min_length, h.swaps), pairs);
}

const std::string long_a(40, 'a');
const std::string long_b = std::string(20, 'a') + "b" + std::string(19, 'a');

INSTANTIATE_TEST_SUITE_P(
    Variants, HandCases,
    ::testing::Values(Hand{"Jon", "John", 1, true, 1, true},            // one insertion
                      Hand{"Jhon", "John", 1, true, 1, true},           // one swap
                      Hand{"Jhon", "John", 1, false, 1, false},         // two edits without swaps
                      Hand{"Jhon", "John", 2, false, 1, true},
                      Hand{"Smith", "Smyth", 1, true, 1, true},
                      Hand{"Smith", "Smythe", 1, true, 1, false},
                      Hand{"Smith", "Smythe", 2, true, 1, true},
                      Hand{"Jos\xc3\xa9", "Jose", 1, true, 1, true},    // é is one code point, not two bytes
                      Hand{"Jos\xc3\xa9", "Jos", 1, true, 1, true},
                      Hand{"\xc3\xa9", "\xc3x", 1, true, 1, false},     // a lone lead byte is a code point of its own
                      Hand{"ab\xff", "ab", 1, true, 1, true},
                      Hand{"Jon", "John", 1, true, 4, false},           // Jon is too short
                      Hand{"Jon", "John", 1, true, 3, true},
                      Hand{"Jos\xc3\xa9", "Jos\xc3\xa9" "e", 1, true, 4, true},  // four code points, five bytes
                      Hand{"Jos\xc3\xa9", "Jos\xc3\xa9" "e", 1, true, 5, false},
                      Hand{"", "a", 1, true, 0, true},
                      Hand{"abcd", "badc", 2, true, 1, true},           // two swaps
                      Hand{"abcd", "badc", 2, false, 1, false},
                      Hand{"ca", "abc", 2, true, 1, false},             // OSA edits no substring twice
                      Hand{long_a.c_str(), long_b.c_str(), 1, true, 1, true},
                      Hand{long_a.c_str(), "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", 2, true, 1, false},
                      Hand{"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", 2, true, 1, true}));

// Random vocabularies: words from a small alphabet (many near pairs), many of
// them edits of earlier ones.
struct Shape {
    const char* what;
    std::vector<std::string> alphabet;  // each entry one code point, or a stray byte
    int words;
    int shortest;
    int longest;
    int32_t k;
    bool swaps;
    int32_t min_length;
};

std::vector<std::string> vocabulary(const Shape& s, uint32_t seed) {
    std::mt19937 rng(seed);
    const auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
    const auto letter = [&] { return s.alphabet[static_cast<size_t>(pick(static_cast<int>(s.alphabet.size())))]; };
    std::vector<std::vector<std::string>> made;
    for (int w = 0; w < s.words; ++w) {
        std::vector<std::string> word;
        if (!made.empty() && pick(3) != 0) {
            word = made[static_cast<size_t>(pick(static_cast<int>(made.size())))];
            for (int e = pick(4); e > 0; --e) {
                const auto at = static_cast<size_t>(word.empty() ? 0 : pick(static_cast<int>(word.size())));
                switch (pick(4)) {
                    case 0: word.insert(word.begin() + static_cast<std::ptrdiff_t>(at), letter()); break;
                    case 1: if (!word.empty()) word.erase(word.begin() + static_cast<std::ptrdiff_t>(at)); break;
                    case 2: if (!word.empty()) word[at] = letter(); break;
                    default: if (at + 1 < word.size()) std::swap(word[at], word[at + 1]); break;
                }
            }
        } else {
            for (int n = s.shortest + pick(s.longest - s.shortest + 1); n > 0; --n) word.push_back(letter());
        }
        made.push_back(word);
    }
    std::vector<std::string> words;
    for (const auto& parts : made) {
        std::string w;
        for (const auto& p : parts) w += p;
        words.push_back(w);
    }
    return words;
}

class RandomVocabularies : public ::testing::TestWithParam<Shape> {};

TEST_P(RandomVocabularies, SameAsEveryPair) {
    const Shape& s = GetParam();
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        const auto words = vocabulary(s, seed);
        const auto views = views_of(words);
        const auto expected = reference::every_variant(views, s.k, s.min_length, s.swaps);
        ASSERT_EQ(fast(words, s.k, s.min_length, s.swaps, 1), expected) << s.what << " seed " << seed;
        ASSERT_EQ(fast(words, s.k, s.min_length, s.swaps, 3), expected) << s.what << " seed " << seed;
    }
}

const std::vector<std::string> ab{"a", "b"};
const std::vector<std::string> letters{"a", "b", "c", "d", "e", "h", "n", "o", "s", "t"};
const std::vector<std::string> accents{"e", "\xc3\xa9", "\xc3\xa8", "a", "\xc3\xa4", "\xe2\x82\xac", "\xf0\x9f\x98\x80"};
const std::vector<std::string> stray{"a", "b", "\xc3", "\xa9", "\xff", "\xed\xa0\x80", "\xc3\xa9", "\xf4\x90\x80\x80"};

INSTANTIATE_TEST_SUITE_P(
    Variants, RandomVocabularies,
    ::testing::Values(Shape{"two letters, one edit", ab, 60, 0, 6, 1, true, 0},
                      Shape{"two letters, two edits", ab, 60, 0, 7, 2, true, 0},
                      Shape{"two letters, no swaps", ab, 60, 1, 7, 2, false, 1},
                      Shape{"letters, one edit", letters, 150, 2, 9, 1, true, 1},
                      Shape{"letters, two edits", letters, 150, 2, 9, 2, true, 1},
                      Shape{"letters, two edits, no swaps", letters, 150, 2, 9, 2, false, 3},
                      Shape{"letters, min_length 5", letters, 150, 3, 8, 2, true, 5},
                      Shape{"multibyte", accents, 120, 1, 7, 2, true, 2},
                      Shape{"multibyte, one edit", accents, 120, 1, 7, 1, false, 0},
                      Shape{"stray bytes", stray, 120, 0, 6, 2, true, 0},
                      Shape{"around the keyed length", letters, 80, 28, 38, 2, true, 0},
                      Shape{"long words, one edit", ab, 40, 30, 45, 1, true, 31},
                      Shape{"long words, two letters", ab, 40, 31, 36, 2, false, 0}),
    [](const ::testing::TestParamInfo<Shape>& info) { return "shape" + std::to_string(info.index); });

TEST(Variants, DecodingAndDistanceMatchTheReference) {
    std::mt19937 rng(7);
    const unsigned char pieces[] = {'a', 'b', 0xC3, 0xA9, 0x80, 0xBF, 0xE0, 0xED, 0xA0, 0xF0, 0xF4, 0x90, 0x8F, 0xFF, 0xC0};
    std::vector<uint32_t> mine;
    for (int t = 0; t < 20000; ++t) {
        std::string a, b;
        for (auto n = rng() % 9; n > 0; --n) a.push_back(static_cast<char>(pieces[rng() % sizeof pieces]));
        for (auto n = rng() % 9; n > 0; --n) b.push_back(static_cast<char>(pieces[rng() % sizeof pieces]));
        mine.clear();
        decode_code_points(a, mine);
        const auto pa = reference::code_points(a), pb = reference::code_points(b);
        ASSERT_EQ(mine, pa) << a;
        for (int32_t k = 0; k <= 2; ++k) {
            for (bool swaps : {false, true}) {
                ASSERT_EQ(within_edits(pa, pb, k, swaps), reference::osa_distance(pa, pb, swaps) <= k) << a << " " << b;
            }
        }
    }
}

TEST(Variants, RefusesBadOptionsAndStops) {
    const std::vector<std::string_view> words{"John", "Jon"};
    for (auto [k, min_length] : {std::pair{0, 1}, std::pair{3, 1}, std::pair{-1, 1}, std::pair{1, -1}}) {
        VariantOptions o;
        o.max_edits = k;
        o.min_length = min_length;
        EXPECT_EQ(find_variants(words, o).error, VariantError::bad_options) << k << " " << min_length;
    }
    StopToken stop;
    stop.request_stop();
    VariantOptions o;
    o.stop = &stop;
    const VariantResult r = find_variants(words, o);
    EXPECT_EQ(r.error, VariantError::stopped);
    EXPECT_TRUE(r.pairs.empty());
}

TEST(Variants, RepeatedWordsAreAtDistanceZero) {
    const std::vector<std::string> words{"Hanna", "Hanna", "Hannah"};
    const std::vector<VariantPair> expected{{0, 1}, {0, 2}, {1, 2}};
    EXPECT_EQ(fast(words, 1, 1, true), expected);
}

}  // namespace
}  // namespace talvik
