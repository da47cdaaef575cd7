#include "pair_score.h"

#include <algorithm>
#include <cmath>

#include "talvik/variants.h"

namespace talvik {
namespace {

// One code point, a full stop allowed after it: the length of that code
// point, or 0 when the word is not an initial.
size_t initial_length(std::string_view word) {
    if (word.empty()) return 0;
    const auto lead = static_cast<unsigned char>(word[0]);
    size_t n = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (n > word.size()) return 0;
    if (word.size() == n || (word.size() == n + 1 && word[n] == '.')) return n;
    return 0;
}

bool same_letter(std::string_view initial, size_t n, std::string_view word) {
    if (word.size() <= n) return false;
    if (n == 1) {
        const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        return fold(initial[0]) == fold(word[0]);
    }
    return word.compare(0, n, initial.substr(0, n)) == 0;
}

FoundAs kind_of(std::string_view word, std::string_view via, std::vector<uint32_t>& a, std::vector<uint32_t>& b) {
    if (const size_t n = initial_length(word); n != 0 && same_letter(word, n, via)) return FoundAs::initial;
    if (const size_t n = initial_length(via); n != 0 && same_letter(via, n, word)) return FoundAs::initial;
    a.clear();
    b.clear();
    decode_code_points(word, a);
    decode_code_points(via, b);
    if (within_edits(a, b, 1, true)) return FoundAs::one_edit;
    if (within_edits(a, b, 2, true)) return FoundAs::two_edits;
    return FoundAs::tradeout;
}

bool holds(const std::vector<int32_t>& sorted, int32_t word) noexcept {
    return std::binary_search(sorted.begin(), sorted.end(), word);
}

void sort_into(std::span<const int32_t> words, std::vector<int32_t>& out) {
    out.assign(words.begin(), words.end());
    std::sort(out.begin(), out.end());
}

}  // namespace

FoundAs tradeout_kind(std::string_view word, std::string_view via) {
    std::vector<uint32_t> a, b;
    return kind_of(word, via, a, b);
}

int64_t scored_name_count(const NameIndex& index) noexcept {
    const auto& start = index.columns().name_start;
    int64_t n = 0;
    for (size_t k = 0; k + 1 < start.size; ++k) n += start[k + 1] - start[k] >= 2;
    return n;
}

PairScorer::PairScorer(const NameIndex& index, int64_t names) noexcept
    : index_(index), log2_names_(std::log2(static_cast<float>(std::max<int64_t>(names, 1)))) {}

float PairScorer::weight(int32_t word) const noexcept {
    const auto df = static_cast<float>(std::max<size_t>(index_.postings(word).size(), 1));
    return std::max(0.0f, log2_names_ - std::log2(df));
}

void PairScorer::set_row(std::span<const int32_t> row) {
    row_ = row;
    sort_into(row, row_sorted_);
}

ScoredWord PairScorer::found_through_tradeout(int32_t word, float own, const std::vector<int32_t>& sorted) {
    ScoredWord best;
    for (int32_t via : index_.tradeouts(word)) {
        if (!holds(sorted, via)) continue;
        const FoundAs how = kind_of(index_.word_text(word), index_.word_text(via), code_points_[0], code_points_[1]);
        const float w = std::min(own, weight(via));
        if (best.how == FoundAs::missing || score_share(how) * w > best.contribution) {
            best = ScoredWord{how, w, score_share(how) * w};
        }
    }
    return best;
}

int32_t PairScorer::look_up(std::span<const int32_t> words, const std::vector<int32_t>& sorted) {
    int32_t unfound = 0;
    for (int32_t w : words) {
        const float own = weight(w);
        ScoredWord s = holds(sorted, w) ? ScoredWord{FoundAs::same, own, own}
                                        : found_through_tradeout(w, own, sorted);
        if (s.how == FoundAs::missing) {
            s.weight = own;
            ++unfound;
        }
        words_.push_back(s);
    }
    return unfound;
}

float PairScorer::evaluate(std::span<const int32_t> other) {
    words_.clear();
    sort_into(other, other_sorted_);
    const int32_t unfound_row = look_up(row_, other_sorted_);
    const int32_t unfound_other = look_up(other, row_sorted_);
    const FoundAs against = unfound_row > 0 && unfound_other > 0 ? FoundAs::conflict : FoundAs::missing;
    float sum = 0.0f;
    for (ScoredWord& s : words_) {
        if (s.how == FoundAs::missing) {
            s.how = against;
            s.contribution = score_share(against) * s.weight;
        }
        s.contribution *= 0.5f;  // every link is seen from both names
        sum += s.contribution;
    }
    return sum - log2_names_;
}

float PairScorer::score(std::span<const int32_t> other) { return evaluate(other); }

float PairScorer::account(std::span<const int32_t> other, std::vector<ScoredWord>& out) {
    const float score = evaluate(other);
    out = words_;
    return score;
}

}  // namespace talvik
