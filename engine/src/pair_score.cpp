#include "pair_score.h"

#include <algorithm>
#include <cmath>

#include "talvik/find_pairs.h"

#include "talvik/utf8.h"
#include "talvik/variants.h"

namespace talvik {
namespace {

// The bytes of a word's first code point, counted as decode_code_points
// counts them (a byte that begins no valid sequence is one of its own), so
// that an initial is the single code point the edit distance sees.
size_t first_code_point(std::string_view word) {
    if (word.empty()) return 0;
    if (static_cast<unsigned char>(word[0]) < 0x80) return 1;
    char32_t cp = 0;
    const size_t n = decode_utf8(word, 0, &cp);
    return n == 0 ? 1 : n;
}

// One code point, a full stop allowed after it: the length of that code
// point, or 0 when the word is not an initial.
size_t initial_length(std::string_view word) {
    const size_t n = first_code_point(word);
    if (n == 0) return 0;
    if (word.size() == n || (word.size() == n + 1 && word[n] == '.')) return n;
    return 0;
}

bool same_letter(std::string_view initial, size_t n, std::string_view word) {
    if (word.size() <= n || first_code_point(word) != n) return false;
    if (n == 1) {
        const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        return fold(initial[0]) == fold(word[0]);
    }
    return word.compare(0, n, initial.substr(0, n)) == 0;
}

bool is_initial_link(std::string_view word, std::string_view via) {
    if (const size_t n = initial_length(word); n != 0 && same_letter(word, n, via)) return true;
    const size_t n = initial_length(via);
    return n != 0 && same_letter(via, n, word);
}

FoundAs kind_of(std::string_view word, std::string_view via, std::vector<uint32_t>& a, std::vector<uint32_t>& b) {
    if (is_initial_link(word, via)) return FoundAs::initial;
    a.clear();
    b.clear();
    decode_code_points(word, a);
    decode_code_points(via, b);
    if (within_edits(a, b, 1, true)) return FoundAs::one_edit;
    if (within_edits(a, b, 2, true)) return FoundAs::two_edits;
    return FoundAs::tradeout;
}

// A name's words, asked whether they hold a word: a short name is scanned,
// a long one sorted once and halved.
struct WordSet {
    std::span<const int32_t> words;
    bool sorted;

    bool holds(int32_t word) const noexcept {
        if (sorted) return std::binary_search(words.begin(), words.end(), word);
        return std::find(words.begin(), words.end(), word) != words.end();
    }
};

constexpr size_t kScanned = 12;

void sort_into(std::span<const int32_t> words, std::vector<int32_t>& out) {
    out.assign(words.begin(), words.end());
    std::sort(out.begin(), out.end());
}

}  // namespace

FoundAs tradeout_kind(std::string_view word, std::string_view via) {
    std::vector<uint32_t> a, b;
    return kind_of(word, via, a, b);
}

namespace {

// The names of two words or more: the N of every word's weight.
int64_t scored_name_count(const NameIndex& index) noexcept {
    const auto& start = index.columns().name_start;
    int64_t n = 0;
    for (size_t k = 0; k + 1 < start.size; ++k) n += start[k + 1] - start[k] >= 2;
    return n;
}

float log2_of_count(int64_t names) noexcept { return std::log2(static_cast<float>(std::max<int64_t>(names, 1))); }

// log2(N / df), a word none holds counted as held once.
float weight_of(const NameIndex& index, int32_t word, float log2_names) noexcept {
    const size_t held = word < 0 ? 0 : index.postings(word).size();
    return std::max(0.0f, log2_names - std::log2(static_cast<float>(std::max<size_t>(held, 1))));
}

}  // namespace

// The last slot holds log2(N) itself, which the score subtracts.
std::vector<float> word_weights(const NameIndex& index) {
    const float log2_names = log2_of_count(scored_name_count(index));
    std::vector<float> out(static_cast<size_t>(index.word_count()) + 1);
    for (int32_t w = 0; w < index.word_count(); ++w) out[static_cast<size_t>(w)] = weight_of(index, w, log2_names);
    out.back() = log2_names;
    return out;
}

std::vector<float> tradeout_caps(const NameIndex& index, std::span<const float> weights) {
    // The largest share a link that is no initial can have.
    constexpr float other_share = std::max({score_share(FoundAs::tradeout), score_share(FoundAs::one_edit),
                                            score_share(FoundAs::two_edits)});
    std::vector<float> caps(static_cast<size_t>(index.word_count()), 0.0f);
    for (int32_t w = 0; w < index.word_count(); ++w) {
        const float own = weights[static_cast<size_t>(w)];
        for (const int32_t x : index.tradeouts(w)) {
            if (x == w) continue;
            const float share = is_initial_link(index.word_text(w), index.word_text(x))
                                    ? score_share(FoundAs::initial)
                                    : other_share;
            const float cap = share * std::min(own, weights[static_cast<size_t>(x)]);
            caps[static_cast<size_t>(w)] = std::max(caps[static_cast<size_t>(w)], cap);
            caps[static_cast<size_t>(x)] = std::max(caps[static_cast<size_t>(x)], cap);
        }
    }
    return caps;
}

std::vector<float> single_word_scores(const SearchIndex& index, std::span<const std::string_view> words) {
    const NameIndex& names = index.index();
    const float log2_names = log2_of_count(scored_name_count(names));
    std::vector<float> out;
    out.reserve(words.size());
    for (const std::string_view word : words) {
        out.push_back(weight_of(names, names.find_word(word), log2_names) - log2_names);
    }
    return out;
}

PairScorer::PairScorer(const NameIndex& index, std::span<const float> weights) noexcept
    : index_(index), weights_(weights), log2_names_(weights.back()) {}

void PairScorer::set_row(std::span<const int32_t> row) {
    own_row_.clear();
    for (const int32_t w : row) {
        own_row_.push_back(RowWord{w, weight(w), {}, index_.tradeouts(w), {}});
    }
    row_ = own_row_;
    sort_row_ids();
}

void PairScorer::set_row(std::span<const RowWord> row) {
    row_ = row;
    sort_row_ids();
}

void PairScorer::sort_row_ids() {
    row_sorted_.clear();
    for (const RowWord& w : row_) {
        if (w.id >= 0) row_sorted_.push_back(w.id);
    }
    std::sort(row_sorted_.begin(), row_sorted_.end());
}

FoundAs PairScorer::kind(int32_t word, int32_t via) {
    // Pairs of one row meet the same few tradeouts again and again.
    const uint64_t key = (static_cast<uint64_t>(static_cast<uint32_t>(word)) << 32 | static_cast<uint32_t>(via)) + 1;
    const size_t slot = static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 54);
    if (kind_keys_[slot] != key) {
        kind_keys_[slot] = key;
        kind_values_[slot] = kind_of(index_.word_text(word), index_.word_text(via), code_points_[0], code_points_[1]);
    }
    return kind_values_[slot];
}

// A word the index lacks has no id to remember the kind by; it is rare.
FoundAs PairScorer::kind(int32_t word, const RowWord& via) {
    if (via.id >= 0) return kind(word, via.id);
    return kind_of(index_.word_text(word), via.text, code_points_[0], code_points_[1]);
}

// A row position found in the other name through one of its own tradeouts
// (rising: an initial may stand for thousands of words).
ScoredWord PairScorer::row_through_tradeout(const RowWord& word, std::span<const int32_t> other) {
    ScoredWord best;
    for (const int32_t via : other) {
        if (!std::binary_search(word.trades.begin(), word.trades.end(), via)) continue;
        const FoundAs how = kind(via, word);
        const float evidence = link_evidence(how, word.weight, weight(via), log2_names_);
        if (best.how == FoundAs::missing || evidence > best.contribution) {
            best = ScoredWord{how, std::min(word.weight, weight(via)), evidence};
        }
    }
    return best;
}

// A position of the other name found in the row through that word's tradeouts.
ScoredWord PairScorer::other_through_tradeout(int32_t word) {
    ScoredWord best;
    const auto trades = index_.tradeouts(word);
    for (const RowWord& via : row_) {
        const bool listed = via.id >= 0 ? std::binary_search(trades.begin(), trades.end(), via.id)
                                        : std::binary_search(via.listed_by.begin(), via.listed_by.end(), word);
        if (!listed) continue;
        const FoundAs how = kind(word, via);
        const float evidence = link_evidence(how, weight(word), via.weight, log2_names_);
        if (best.how == FoundAs::missing || evidence > best.contribution) {
            best = ScoredWord{how, std::min(weight(word), via.weight), evidence};
        }
    }
    return best;
}

int32_t PairScorer::look_up_row(std::span<const int32_t> other, bool sorted) {
    const WordSet set{other, sorted};
    int32_t unfound = 0;
    for (const RowWord& w : row_) {
        ScoredWord s = w.id >= 0 && set.holds(w.id) ? ScoredWord{FoundAs::same, w.weight, w.weight}
                                                    : row_through_tradeout(w, other);
        if (s.how == FoundAs::missing) {
            s.weight = w.weight;
            ++unfound;
        }
        words_.push_back(s);
    }
    return unfound;
}

int32_t PairScorer::look_up_other(std::span<const int32_t> other) {
    int32_t unfound = 0;
    for (const int32_t w : other) {
        const float own = weight(w);
        ScoredWord s = std::binary_search(row_sorted_.begin(), row_sorted_.end(), w) ? ScoredWord{FoundAs::same, own, own}
                                                                                      : other_through_tradeout(w);
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
    const bool sort_other = other.size() > kScanned;
    if (sort_other) sort_into(other, other_sorted_);
    const std::span<const int32_t> others = sort_other ? std::span<const int32_t>(other_sorted_) : other;
    const int32_t unfound_row = look_up_row(others, sort_other);
    const int32_t unfound_other = look_up_other(other);
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

ScoreAccount score_account(const SearchIndex& index, int32_t name1, int32_t name2) {
    const std::vector<float> weights = word_weights(index.index());
    PairScorer scorer(index.index(), weights);
    const auto words1 = index.index().words(name1);
    scorer.set_row(words1);
    ScoreAccount out;
    out.score = scorer.account(index.index().words(name2), out.words2);
    out.words1.assign(out.words2.begin(), out.words2.begin() + static_cast<std::ptrdiff_t>(words1.size()));
    out.words2.erase(out.words2.begin(), out.words2.begin() + static_cast<std::ptrdiff_t>(words1.size()));
    return out;
}

}  // namespace talvik
