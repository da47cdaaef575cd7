#include "candidate_search.h"

#include <algorithm>
#include <bit>
#include <limits>

#include "candidate_gather.h"

#include "talvik/match_rule.h"
#include "talvik/pair_score.h"

namespace talvik {
namespace {

// Rows with more words than this take the word index alone: their pairs of
// positions would be too many to look up.
constexpr int32_t kMaxPairRowWords = 16;

using gather::kLonger;
using gather::kProbeCost;
using gather::kTwoWords;

constexpr int64_t kNoLimit = std::numeric_limits<int64_t>::max();

// Past this many candidate entries per later name, a long row checks every
// later name instead: reading them all costs less than sorting the lists.
constexpr size_t kDenseFactor = 4;

// What the search above takes from the rule: only a three-word name is found
// whole against longer names, and none needs more than most_words_needed.
static_assert(found_whole_against_longer(3) && !found_whole_against_longer(4) && !found_whole_against_longer(5));
static_assert(words_needed(2, 2) <= most_words_needed && words_needed(3, 3) <= most_words_needed &&
              words_needed(4, 3) <= most_words_needed && words_needed(9, 9) <= most_words_needed);

int32_t word_of(int32_t w, std::span<const int32_t> tradeouts, size_t k) noexcept {
    return k == 0 ? w : tradeouts[k - 1];
}

}  // namespace

void RowSearch::append_after(std::span<const int32_t> sorted) {
    candidates_.insert(candidates_.end(), std::upper_bound(sorted.begin(), sorted.end(), floor_), sorted.end());
}

// Candidates in increasing order, each once, and counted.
void RowSearch::settle_candidates() {
    std::sort(candidates_.begin(), candidates_.end());
    candidates_.erase(std::unique(candidates_.begin(), candidates_.end()), candidates_.end());
    checked_ += static_cast<int64_t>(candidates_.size());
}

// Every match has at least two positions of the row found, so it holds words
// found from two of them: the candidates come from pairs of the row's words.
// A row of three words must have all three found in a name of three or more,
// so for those names one pair of its words is enough. Each candidate is then
// checked exactly, all its words against the row's marks.
std::span<const int32_t> RowSearch::match(int32_t i, int32_t min_second) {
    row_ = i;
    floor_ = std::max(i, min_second - 1);
    words_ = index_.words(i);
    accepted_.clear();
    candidates_.clear();
    if (!can_match(static_cast<int32_t>(words_.size()))) return {};
    if (words_.size() > kMaxPairRowWords || !index_.has_pair_index()) {
        match_by_words();
        return accepted_;
    }
    mark_row();
    bound_row();
    if (static_cast<int64_t>(back_words_.size()) * static_cast<int64_t>(back_words_.size()) * kProbeCost <
        row_side_cost()) {
        collect_by_back_words();
    } else {
        collect_by_row_pairs();
    }
    collect_long_names();
    settle_candidates();
    check_candidates();
    return accepted_;
}

}  // namespace talvik

namespace talvik {

// Rows of many words: every match has at least two positions of the row
// found, so it holds the word (or a tradeout) of a position other than the
// costliest one; the candidates are those positions' postings, each checked
// against the row's marks.
void RowSearch::match_by_words() {
    mark_long_row();
    collect_by_words();
    settle_candidates();
    for (int32_t j : candidates_) {
        if (long_row_accepts(j)) accepted_.push_back(j);
    }
}

// Per word that can be found from the row: up to three of the positions it
// finds, and whether it finds the row back.
void RowSearch::mark_long_row() {
    long_marks_.reset();
    auto tradeouts_of = [this](int32_t w) { return index_.tradeouts(w); };
    for (int32_t p = 0; p < static_cast<int32_t>(words_.size()); ++p) {
        const int32_t w = words_[static_cast<size_t>(p)];
        // Every word that would find position p, as the rule has it.
        position_found(w, tradeouts_of, [&](int32_t x) {
            long_marks_.at(x).add(p);
            return false;
        });
        long_marks_.at(w).found_back = 1;
        for (int32_t f : index_.traded_from(w)) long_marks_.at(f).found_back = 1;
    }
}

void RowSearch::collect_by_words() {
    const auto ci = static_cast<int32_t>(words_.size());
    cost_.resize(words_.size());
    order_.resize(words_.size());
    for (int32_t p = 0; p < ci; ++p) {
        cost_[static_cast<size_t>(p)] = index_.reach(words_[static_cast<size_t>(p)]);
        order_[static_cast<size_t>(p)] = p;
    }
    auto cheaper = [&](int32_t a, int32_t b) { return cost_[static_cast<size_t>(a)] < cost_[static_cast<size_t>(b)]; };
    std::nth_element(order_.begin(), order_.end() - 1, order_.end(), cheaper);
    const auto later = static_cast<size_t>(std::max(names_ - floor_ - 1, 0));
    for (auto p = order_.begin(); p != order_.end() - 1; ++p) {
        const int32_t w = words_[static_cast<size_t>(*p)];
        append_after(index_.postings(w));
        for (int32_t t : index_.tradeouts(w)) append_after(index_.postings(t));
        if (candidates_.size() > kDenseFactor * later) {
            candidates_.resize(later);
            for (size_t k = 0; k < later; ++k) candidates_[k] = floor_ + 1 + static_cast<int32_t>(k);
            return;
        }
    }
}

// Candidate j against the rule: the row's positions its words find, and
// how many of its own positions the row finds back.
bool RowSearch::long_row_accepts(int32_t j) const noexcept {
    return accepts_long_marked(index_, long_marks_, static_cast<int32_t>(words_.size()), j);
}

// The marks of the row's words, its distinct words, and the words that find
// the row back (a word of the row, or a word that lists one as a tradeout).
void RowSearch::mark_row() {
    size_t expected = 0;
    for (int32_t w : words_) expected += 1 + index_.tradeouts(w).size() + index_.traded_from(w).size();
    marks_.reset(expected);
    distinct_.clear();
    position_.clear();
    repeats_.clear();
    back_words_.clear();
    auto mark_back = [&](int32_t w, RowMark& mark) {
        if (mark.found_back == 0) back_words_.push_back(w);
        mark.found_back = 1;
    };
    shared_finder_ = false;
    for (int32_t p = 0; p < static_cast<int32_t>(words_.size()); ++p) {
        const int32_t w = words_[static_cast<size_t>(p)];
        const uint32_t bit = 1u << p;
        auto mark_found = [&](RowMark& mark) {
            shared_finder_ |= (mark.positions & ~bit) != 0;
            mark.positions |= bit;
        };
        RowMark& own = marks_.at(w);
        mark_found(own);
        mark_back(w, own);
        const auto to = index_.tradeouts(w), from = index_.traded_from(w);
        if (std::equal(to.begin(), to.end(), from.begin(), from.end())) {
            // Both ways at once (an initial and the words it begins are each
            // other's tradeouts): one probe per word, not two.
            for (int32_t t : to) {
                RowMark& mark = marks_.at(t);
                mark_found(mark);
                mark_back(t, mark);
            }
        } else {
            for (int32_t t : to) mark_found(marks_.at(t));
            for (int32_t f : from) mark_back(f, marks_.at(f));
        }
        const auto seen = std::find(distinct_.begin(), distinct_.end(), w);
        if (seen == distinct_.end()) {
            distinct_.push_back(w);
            position_.push_back(p);
            repeats_.push_back(1);
        } else {
            ++repeats_[static_cast<size_t>(seen - distinct_.begin())];
        }
    }
}

// The cost of going by pairs of the row's own words (a word with itself when
// it fills two positions), noting the cheapest pair and each pair's cost
// either way round.
int64_t RowSearch::row_side_cost() {
    const size_t d = distinct_.size();
    outer_.assign(d * d, 0);
    int64_t best = -1;
    int64_t total = 0;
    for (size_t u = 0; u < d; ++u) {
        for (size_t v = u; v < d; ++v) {
            if (!is_pair(u, v)) continue;
            // The side with fewer words first; the other only as far as it
            // stays the cheaper (an initial may find thousands of words).
            const bool u_first = index_.tradeouts(distinct_[u]).size() <= index_.tradeouts(distinct_[v]).size();
            const size_t x = u_first ? u : v, y = u_first ? v : u;
            outer_[x * d + y] = outer_cost(distinct_[x], distinct_[y], kNoLimit);
            const int64_t first = outer_[x * d + y];
            outer_[y * d + x] = u == v ? first : outer_cost(distinct_[y], distinct_[x], first);
            const int64_t cost = std::min(outer_[u * d + v], outer_[v * d + u]);
            total += cost;
            if (best < 0 || cost < best) {
                best = cost;
                cheapest_u_ = u;
                cheapest_v_ = v;
            }
        }
    }
    return total;
}

// A match also has two of its own positions found in the row: it holds two
// of the words that find the row back, or one of them twice. When those
// words are few, their pairs are the cheaper way in.
void RowSearch::collect_by_back_words() {
    for (size_t u = 0; u < back_words_.size(); ++u) {
        const int32_t x = back_words_[u];
        for (size_t v = u + 1; v < back_words_.size(); ++v) add_pairs(x, back_words_[v], kTwoWords | kLonger);
        append_after(index_.repeat_postings(x));
    }
}

void RowSearch::collect_by_row_pairs() {
    // A row found whole in every longer name reaches them all through any one
    // pair of its words (a two-word row has only the one pair anyway).
    const auto row_words = static_cast<int32_t>(words_.size());
    const bool whole_against_longer = row_words > 2 && found_whole_against_longer(row_words);
    for (size_t u = 0; u < distinct_.size(); ++u) {
        for (size_t v = u; v < distinct_.size(); ++v) {
            if (!is_pair(u, v)) continue;
            unsigned classes = kTwoWords | kLonger;
            if (whole_against_longer && (u != cheapest_u_ || v != cheapest_v_)) classes = kTwoWords;
            add_pair_candidates(u, v, classes);
        }
    }
}

// The pair index leaves out names of many distinct words; find them by word.
void RowSearch::collect_long_names() {
    if (!index_.has_long_names()) return;
    for (int32_t w : distinct_) {
        append_after(index_.long_postings(w));
        for (int32_t t : index_.tradeouts(w)) append_after(index_.long_postings(t));
    }
}

void RowSearch::add_pairs(int32_t x, int32_t y, unsigned classes) {
    gather::pair_postings(index_, x, y, classes, [this](std::span<const int32_t> s) { append_after(s); });
}

// Candidates holding word x, found from two positions of the row at once.
void RowSearch::add_shared_word(int32_t x, unsigned classes) {
    gather::shared_word(index_, back_words_, marks_, x, classes,
                        [this](std::span<const int32_t> s) { append_after(s); });
}

// The postings of word w after the floor, as a share of all its postings:
// what scanning them costs, in postings read.
int64_t RowSearch::scan_cost(int32_t w) const noexcept {
    const auto later = static_cast<int64_t>(names_ - floor_);
    return static_cast<int64_t>(index_.postings(w).size()) * later / std::max<int64_t>(names_, 1);
}

// The cost of gathering the candidates of words a and b with a's side
// outside: each word found from a either scans its own postings or looks up
// its pair with every word found from b, whichever costs less for it. Past
// `limit` the sum stops: only which side is cheaper, and its cost, are used.
int64_t RowSearch::outer_cost(int32_t a, int32_t b, int64_t limit) const noexcept {
    const auto ta = index_.tradeouts(a);
    const int64_t probe_each = static_cast<int64_t>(index_.tradeouts(b).size() + 1) * kProbeCost;
    int64_t total = 0;
    for (size_t x = 0; x <= ta.size() && total <= limit; ++x) {
        total += std::min(scan_cost(word_of(a, ta, x)), probe_each);
    }
    return total;
}

// Under a floor, whether this row's two-word candidates may be bounded: only
// when no word finds two of its positions (so none repeats), which is what
// only_as_itself assumes.
void RowSearch::bound_row() {
    bounded_ = bound_ != nullptr && !shared_finder_;
    if (!bounded_) return;
    cap_most_ = 0.0f;
    for (const int32_t w : distinct_) cap_most_ = std::max(cap_most_, bound_->caps[static_cast<size_t>(w)]);
}

// Whether no name of two words that lacks the row's word u itself, but
// finds u and v, can reach the floor. No word finds two positions, so such a
// name finds u through a tradeout (at most u's cap), v (at most its weight)
// and nothing else: every other word of the row is missing, and counts
// against the pair. Each of its own two words counts at most the largest cap
// of the row's words, or v's weight when it is v.
bool RowSearch::only_as_itself(size_t u, size_t v) const noexcept {
    const auto weight = [this](size_t k) { return bound_->weights[static_cast<size_t>(distinct_[k])]; };
    float row_side = bound_->caps[static_cast<size_t>(distinct_[u])] + weight(v);
    for (size_t k = 0; k < distinct_.size(); ++k) {
        if (k != u && k != v) row_side += score_share(FoundAs::missing) * weight(k);
    }
    const float name_side = cap_most_ + std::max(weight(v), cap_most_);
    return 0.5f * (row_side + name_side) - bound_->log2_names < bound_->floor;
}

// Candidates that hold a word found from distinct word u and one found from
// distinct word v. Under a floor, an initial beside common words finds
// thousands of two-word names that all fall far below it ("John A Smith"
// finds "John Adam" and "Adam Smith"): names of two words are then gathered
// only among those that hold the word itself.
void RowSearch::add_pair_candidates(size_t u, size_t v, unsigned classes) {
    if (bounded_ && (classes & kTwoWords) != 0 && u != v) {
        const bool any_u = !only_as_itself(u, v);
        const bool any_v = !only_as_itself(v, u);
        if (!any_u || !any_v) {
            if ((classes & kLonger) != 0) gather_pair_candidates(u, v, kLonger);
            add_two_word_names(u, v, any_u, any_v);
            return;
        }
    }
    gather_pair_candidates(u, v, classes);
}

// Names of two words holding a word found from u and one found from v, where
// `any_u` false asks for u's word itself (likewise v).
void RowSearch::add_two_word_names(size_t u, size_t v, bool any_u, bool any_v) {
    if (!any_u && !any_v) {
        add_pairs(distinct_[u], distinct_[v], kTwoWords);
        return;
    }
    const size_t held = any_u ? v : u;
    const size_t other = any_u ? u : v;
    const int32_t a = distinct_[held];
    const int32_t b = distinct_[other];
    const auto tb = index_.tradeouts(b);
    // No word finds two positions: a is none of b's tradeouts.
    if (static_cast<int64_t>(tb.size() + 1) * kProbeCost <= scan_cost(a)) {
        add_pairs(a, b, kTwoWords);
        for (const int32_t y : tb) add_pairs(a, y, kTwoWords);
    } else {
        scan_pair_candidates(a, 1u << position_[other], kTwoWords);
    }
}

// Candidates that hold a word found from distinct word u and one found from
// distinct word v, with the cheaper side outside (outer_, see outer_cost). A word
// found from both is looked up alone when it meets itself; with u == v each
// unordered pair of words is taken once, by whichever of the two comes first.
void RowSearch::gather_pair_candidates(size_t u, size_t v, unsigned classes) {
    const bool same = u == v;
    if (outer_[v * distinct_.size() + u] < outer_[u * distinct_.size() + v]) std::swap(u, v);
    const int32_t a = distinct_[u];
    const int32_t b = distinct_[v];
    const auto ta = index_.tradeouts(a);
    const auto tb = index_.tradeouts(b);
    const uint32_t inner_bit = 1u << position_[v];
    const int64_t probe_each = static_cast<int64_t>(tb.size() + 1) * kProbeCost;
    for (size_t x = 0; x <= ta.size(); ++x) {
        const int32_t wx = word_of(a, ta, x);
        if (scan_cost(wx) < probe_each) {
            scan_pair_candidates(wx, inner_bit, classes);
            continue;
        }
        probe_pairs(wx, b, same ? x : 0, classes);
    }
}

// Looks up word wx with each word found from b, from the `first` on,
// fetching the slots of those to come ahead: the pair index is large, and
// each lookup would otherwise wait for memory alone.
void RowSearch::probe_pairs(int32_t wx, int32_t b, size_t first, unsigned classes) {
    constexpr size_t kAhead = 8;
    const auto tb = index_.tradeouts(b);
    const size_t end = tb.size() + 1;
    auto fetch = [&](size_t y) {
        const int32_t wy = word_of(b, tb, y);
        if (classes & kTwoWords) index_.prefetch_pair(wx, wy, false);
        if (classes & kLonger) index_.prefetch_pair(wx, wy, true);
    };
    for (size_t y = first; y < std::min(end, first + kAhead); ++y) fetch(y);
    for (size_t y = first; y < end; ++y) {
        if (y + kAhead < end) fetch(y + kAhead);
        const int32_t wy = word_of(b, tb, y);
        if (wx == wy) {
            add_shared_word(wx, classes);
        } else {
            add_pairs(wx, wy, classes);
        }
    }
}

// The names that hold word w and a word marked for the position of `other_bit`.
void RowSearch::scan_pair_candidates(int32_t w, uint32_t other_bit, unsigned classes) {
    const auto postings = index_.postings(w);
    const auto later = std::upper_bound(postings.begin(), postings.end(), floor_);
    for_each_fetched_ahead(index_, {later, postings.end()}, [&](int32_t j) {
        if (gather::holds_marked(index_, marks_, j, other_bit, classes)) candidates_.push_back(j);
    });
}

// Each candidate against the rule: its words' marks give the row's positions
// it finds, and how many of its own positions the row finds back.
void RowSearch::check_candidates() {
    const auto ci = static_cast<int32_t>(words_.size());
    for_each_fetched_ahead(index_, candidates_, [&](int32_t j) {
        if (accepts_marked(index_, marks_, ci, j)) accepted_.push_back(j);
    });
}

}  // namespace talvik
