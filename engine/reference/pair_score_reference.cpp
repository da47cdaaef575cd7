#include "pair_score_reference.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "talvik/match_rule.h"
#include "variants_reference.h"

namespace talvik::reference {

double reference_share(FoundAs how) {
    switch (how) {
        case FoundAs::same: return 1.0;
        case FoundAs::tradeout: return 0.6;
        case FoundAs::one_edit: return 0.8;
        case FoundAs::two_edits: return 0.5;
        case FoundAs::initial: return 0.5;
        case FoundAs::missing: return -0.3;
        case FoundAs::conflict: return -0.5;
    }
    return 0.0;
}

namespace {

uint32_t fold(uint32_t c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

// `initial` is one code point, or one and a full stop, and `word` is longer
// and begins with that code point.
bool is_initial_of(const std::vector<uint32_t>& initial, const std::vector<uint32_t>& word) {
    const bool one = initial.size() == 1 || (initial.size() == 2 && initial[1] == '.');
    return one && word.size() > 1 && fold(initial[0]) == fold(word[0]) && initial != word;
}

}  // namespace

FoundAs reference_kind(std::string_view word, std::string_view via) {
    const std::vector<uint32_t> a = code_points(word);
    const std::vector<uint32_t> b = code_points(via);
    if (is_initial_of(a, b) || is_initial_of(b, a)) return FoundAs::initial;
    const int32_t d = osa_distance(a, b, true);
    if (d <= 1) return FoundAs::one_edit;
    if (d == 2) return FoundAs::two_edits;
    return FoundAs::tradeout;
}

ScoreReference::ScoreReference(std::span<const std::string_view> names, const TradeoutTable& table)
    : table_(table) {
    for (std::string_view name : names) {
        std::vector<std::string_view> words;
        for_each_word(name, [&](std::string_view w) { words.push_back(w); });
        if (words.size() >= 2) {
            ++scored_names_;
            for (std::string_view w : std::set<std::string_view>(words.begin(), words.end())) ++df_[w];
        }
        words_.push_back(std::move(words));
    }
}

double ScoreReference::log2_names() const { return std::log2(static_cast<double>(std::max<int64_t>(scored_names_, 1))); }

int64_t ScoreReference::df(std::string_view word) const {
    const auto it = df_.find(word);
    return it == df_.end() ? 1 : it->second;
}

double ScoreReference::weight(std::string_view word) const {
    return std::max(0.0, log2_names() - std::log2(static_cast<double>(df(word))));
}

std::vector<ReferenceWord> ScoreReference::look_up(const std::vector<std::string_view>& words,
                                                   const std::vector<std::string_view>& other) const {
    const auto holds = [&](std::string_view w) { return std::find(other.begin(), other.end(), w) != other.end(); };
    std::vector<ReferenceWord> out;
    for (std::string_view w : words) {
        ReferenceWord r;
        r.weight = weight(w);
        if (holds(w)) {
            r.how = FoundAs::same;
        } else if (const MatchList* list = tradeout_table_lookup(table_, w)) {
            // The rule consults only this word's own tradeouts; of those the
            // other name holds, the one giving most evidence counts.
            bool found = false;
            double best = 0.0;
            for (std::string_view t : list->words) {
                if (t == w || !holds(t)) continue;
                const FoundAs how = reference_kind(w, t);
                const double lighter = std::min(weight(w), weight(t));
                double c = reference_share(how) * lighter;
                if (how == FoundAs::one_edit || how == FoundAs::two_edits) {
                    // Two common words are more likely two names than a typo.
                    c = std::max(0.0, c - 0.5 * std::log2(static_cast<double>(std::min(df(w), df(t)))));
                }
                if (!found || c > best + 1e-12) {
                    r.tied = false;
                    r.how = how;
                    r.weight = lighter;
                    r.evidence = c;
                    best = c;
                } else if (c > best - 1e-12 && how != r.how) {
                    r.tied = true;
                }
                found = true;
            }
        }
        out.push_back(r);
    }
    return out;
}

ReferenceScore ScoreReference::score(int32_t i, int32_t j) const {
    const auto& a = words_[static_cast<size_t>(i)];
    const auto& b = words_[static_cast<size_t>(j)];
    ReferenceScore out;
    out.words1 = look_up(a, b);
    out.words2 = look_up(b, a);
    const auto unfound = [](const std::vector<ReferenceWord>& ws) {
        return std::any_of(ws.begin(), ws.end(), [](const ReferenceWord& r) { return r.how == FoundAs::missing; });
    };
    const FoundAs against = unfound(out.words1) && unfound(out.words2) ? FoundAs::conflict : FoundAs::missing;
    double sum = 0.0;
    out.magnitude = log2_names();
    for (auto* side : {&out.words1, &out.words2}) {
        for (ReferenceWord& r : *side) {
            if (r.how == FoundAs::missing) r.how = against;
            const bool through_tradeout = r.how != FoundAs::same && r.how != FoundAs::missing &&
                                          r.how != FoundAs::conflict;
            r.contribution = 0.5 * (through_tradeout ? r.evidence : reference_share(r.how) * r.weight);
            sum += r.contribution;
            out.magnitude += std::abs(r.contribution);
        }
    }
    out.score = sum - log2_names();
    return out;
}

// The engine sums float terms: each weight is two float log2s apart (an
// error of a few units in the last place of log2(N) <= 31, well under 1e-4),
// and a sum of k float terms errs by at most k * 2^-24 of the sum of their
// sizes, under 1e-3 of the magnitude for names of up to 16000 words.
double score_tolerance(const ReferenceScore& reference) { return 1e-3 * reference.magnitude + 1e-4; }

bool score_agrees(double engine, const ReferenceScore& reference) {
    return std::abs(engine - reference.score) <= score_tolerance(reference);
}

}  // namespace talvik::reference
