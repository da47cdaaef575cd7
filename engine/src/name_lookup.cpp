#include "talvik/name_lookup.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <mutex>
#include <new>
#include <optional>
#include <unordered_map>
#include <utility>

#include "candidate_gather.h"
#include "candidate_search.h"
#include "name_index.h"
#include "pair_score.h"
#include "parallel_for.h"
#include "talvik/match_rule.h"

namespace talvik {

// For words of a query that no indexed name holds: which indexed words list
// them as a tradeout (a word the index knows finds those through
// traded_from). Read once from the table.
struct NameLookup::Private {
    explicit Private(const SearchIndex& i) noexcept : index(i) {}

    // Every word's weight, read on the first scored lookup. Throws std::bad_alloc.
    std::span<const float> weights() const {
        const std::lock_guard<std::mutex> lock(weights_mutex);
        if (word_weights_.empty()) word_weights_ = word_weights(index.index());
        return word_weights_;
    }

    const SearchIndex& index;
    std::unordered_map<std::string_view, std::vector<int32_t>> listed_by;  // each list rising

private:
    mutable std::mutex weights_mutex;
    mutable std::vector<float> word_weights_;
};

namespace {

// Queries of up to this many words mark positions as bits; longer ones keep
// a few positions per word, as the search does for long rows.
constexpr size_t kBitQueryWords = 32;
// Queries of more words go by single words: their pairs would be too many.
constexpr size_t kMaxPairQueryWords = 16;
// Pairs of words with at most this many probes between their lists are
// costed by the names they reach, counted.
constexpr size_t kCountedProbes = 64;
using gather::kLonger;
using gather::kProbeCost;
using gather::kTwoWords;

// f(x, y) for every x of a and y of b; when both are one list, each
// unordered pair once (x with itself too).
template <class F>
void each_pair(std::span<const int32_t> a, std::span<const int32_t> b, bool same, F&& f) {
    for (size_t x = 0; x < a.size(); ++x) {
        for (size_t y = same ? x : 0; y < b.size(); ++y) f(a[x], b[y]);
    }
}

// Pair probes of a query go to a table far larger than the caches: asked for
// all at once, they wait on memory together.
constexpr size_t kPrefetchedProbes = 64;

// What the sure matches take from the rule: a name of two words needs two of
// its words found against anything, and anything needs no more than two
// found against a name of two words.
static_assert(words_needed(2, 2) == 2 && words_needed(2, 3) == 2 && words_needed(2, 9) == 2);
static_assert(words_needed(3, 2) == 2 && words_needed(4, 2) == 2 && words_needed(9, 2) == 2);

void unique_in_order(std::vector<int32_t>& v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
}

// `v`, made of rising runs starting at `starts` (the first at 0), merged
// pairwise into one rising run without repeats. Throws std::bad_alloc.
void merge_runs(std::vector<int32_t>& v, std::vector<size_t>& starts, std::vector<int32_t>& scratch) {
    starts.push_back(v.size());
    while (starts.size() > 2) {
        scratch.resize(v.size());
        size_t kept = 0;
        for (size_t k = 0; k + 1 < starts.size(); k += 2) {
            const size_t lo = starts[k], mid = starts[k + 1];
            const size_t hi = k + 2 < starts.size() ? starts[k + 2] : mid;
            std::merge(v.begin() + static_cast<std::ptrdiff_t>(lo), v.begin() + static_cast<std::ptrdiff_t>(mid),
                       v.begin() + static_cast<std::ptrdiff_t>(mid), v.begin() + static_cast<std::ptrdiff_t>(hi),
                       scratch.begin() + static_cast<std::ptrdiff_t>(lo));
            starts[kept++] = lo;
        }
        starts[kept++] = v.size();
        starts.resize(kept);
        v.swap(scratch);
    }
    v.erase(std::unique(v.begin(), v.end()), v.end());
}

class QuerySearch {
public:
    explicit QuerySearch(const NameLookup::Private& p) noexcept : p_(p), ix_(p.index.index()) {}

    // The indexed names that match `query`, in increasing order. Throws std::bad_alloc.
    std::span<const int32_t> match(std::string_view query);
    // The last query's positions as the scorer reads them. Throws std::bad_alloc.
    std::span<const RowWord> row_words(std::span<const float> weights);

private:
    struct Word {
        std::string_view text;
        int32_t id = -1;             // in the index, or -1
        std::vector<int32_t> finds;  // the index's words that find it: itself, then its tradeouts
        std::vector<int32_t> back_finds;       // those of finds that are found back
        std::vector<int32_t> sorted_finds;     // when id is -1: finds, rising
        std::span<const int32_t> listed_by;    // when id is -1: the index's words that list it
        int64_t reach = 0;           // their postings together
        uint32_t bits = 0;           // its positions (queries of up to kBitQueryWords words)
        int32_t repeats = 0;
    };

    void mark();
    int64_t pairs_cost() const noexcept;
    void collect_by_pairs();
    std::pair<size_t, size_t> cheapest_pair() const noexcept;
    void gather_pair(size_t u, size_t v, unsigned klass);
    void add_sure(std::span<const int32_t> names);
    bool found_back(int32_t x) const noexcept;
    int64_t reach_of(std::span<const int32_t> words) const noexcept;
    void collect_by_back_words();
    void collect_by_words();
    int64_t pair_cost(size_t u, size_t v) const noexcept;
    int64_t longer_cost(size_t u, size_t v) const noexcept;
    void add_pair(int32_t x, int32_t y, unsigned classes);
    void add_shared(int32_t x, unsigned classes);
    void scan(std::span<const int32_t> side, uint32_t other_bits, unsigned klass);
    void append(std::span<const int32_t> names) { candidates_.insert(candidates_.end(), names.begin(), names.end()); }
    bool accepts_bits(int32_t j) const noexcept;
    bool accepts_long(int32_t j) const noexcept;

    const NameLookup::Private& p_;
    const NameIndex& ix_;
    std::vector<std::string_view> positions_;
    std::vector<int32_t> position_word_;  // per position: its entry in words_
    std::vector<Word> words_;             // the query's distinct words
    size_t used_words_ = 0;
    std::vector<int32_t> back_;           // the index's words found in the query
    MarkTable<RowMark> marks_;
    MarkTable<LongRowMark> long_marks_;
    std::vector<int32_t> candidates_;
    std::vector<int32_t> accepted_;
    std::vector<size_t> runs_;  // where each rising run of accepted_ starts
    std::vector<int32_t> scratch_;
    std::vector<RowWord> row_words_;
    struct PairList {
        std::span<const int32_t> names;
        bool sure;  // matches without being read
    };
    std::vector<PairList> lists_;  // one pair of words' lists, read and not yet taken
};

std::span<const int32_t> QuerySearch::match(std::string_view query) {
    positions_.clear();
    candidates_.clear();
    accepted_.clear();
    runs_.assign(1, 0);
    for_each_word(query, [&](std::string_view w) { positions_.push_back(w); });
    if (!can_match(static_cast<int32_t>(positions_.size()))) return {};
    mark();
    const bool by_words = positions_.size() > kMaxPairQueryWords || !ix_.has_pair_index();
    if (by_words) {
        collect_by_words();
    } else if (!found_whole_against_longer(static_cast<int32_t>(positions_.size())) &&
               static_cast<int64_t>(back_.size()) * static_cast<int64_t>(back_.size()) * kProbeCost < pairs_cost()) {
        collect_by_back_words();
    } else {
        collect_by_pairs();
    }
    if (ix_.has_long_names()) {
        for (size_t u = 0; u < used_words_; ++u) {
            for (int32_t x : words_[u].finds) append(ix_.long_postings(x));
        }
    }
    // The pair lists seldom overlap, and many candidates fail: only the
    // accepted are put in order, unless the lists were whole words' postings.
    if (by_words) unique_in_order(candidates_);
    const size_t checked = accepted_.size();
    const bool bits = positions_.size() <= kBitQueryWords;
    for_each_fetched_ahead(ix_, candidates_, [&](int32_t j) {
        if (bits ? accepts_bits(j) : accepts_long(j)) accepted_.push_back(j);
    });
    if (!by_words) {
        std::sort(accepted_.begin() + static_cast<std::ptrdiff_t>(checked), accepted_.end());
        if (checked > 0 && checked < accepted_.size()) runs_.push_back(checked);
        merge_runs(accepted_, runs_, scratch_);
    }
    return accepted_;
}

// The query's distinct words, what finds each position, and which of the
// index's words its positions find back, as the rule has it (directional:
// a position of the query is found through its own word's tradeouts, a
// position of an indexed name through that word's).
void QuerySearch::mark() {
    const size_t c = positions_.size();
    const bool bits = c <= kBitQueryWords;
    used_words_ = 0;
    position_word_.assign(c, -1);
    size_t expected = 0;
    for (size_t p = 0; p < c; ++p) {
        size_t u = 0;
        while (u < used_words_ && words_[u].text != positions_[p]) ++u;
        position_word_[p] = static_cast<int32_t>(u);
        if (u < used_words_) {
            ++words_[u].repeats;
            if (bits) words_[u].bits |= 1u << p;
            continue;
        }
        if (used_words_ == words_.size()) words_.emplace_back();
        Word& w = words_[used_words_++];
        w.text = positions_[p];
        w.finds.clear();
        w.back_finds.clear();
        w.sorted_finds.clear();
        w.listed_by = {};
        w.reach = 0;
        w.bits = bits ? 1u << p : 0;
        w.repeats = 1;
        const int32_t id = ix_.find_word(w.text);
        w.id = id;
        if (id >= 0) {
            w.finds.push_back(id);
            for (int32_t t : ix_.tradeouts(id)) w.finds.push_back(t);
        } else if (const MatchList* list = tradeout_table_lookup(p_.index.table(), w.text)) {
            for (std::string_view t : list->words) {
                const int32_t tid = ix_.find_word(t);
                if (tid >= 0 && std::find(w.finds.begin(), w.finds.end(), tid) == w.finds.end()) w.finds.push_back(tid);
            }
        }
        // A known word's reach is kept in the index: one read, not one per tradeout.
        if (id >= 0) {
            w.reach = ix_.reach(id);
        } else {
            for (int32_t x : w.finds) w.reach += static_cast<int64_t>(ix_.postings(x).size());
        }
        expected += w.finds.size() + 1;
        if (id >= 0) {
            expected += ix_.traded_from(id).size();
        } else if (auto it = p_.listed_by.find(w.text); it != p_.listed_by.end()) {
            w.listed_by = it->second;
            expected += it->second.size();
        }
    }
    back_.clear();
    if (bits) {
        marks_.reset(expected);
    } else {
        long_marks_.reset(expected);
    }
    for (size_t u = 0; u < used_words_; ++u) {
        const Word& w = words_[u];
        for (int32_t x : w.finds) {
            if (bits) {
                marks_.at(x).positions |= w.bits;
            } else {
                for (size_t p = 0; p < c; ++p) {
                    if (position_word_[p] == static_cast<int32_t>(u)) long_marks_.at(x).add(static_cast<int32_t>(p));
                }
            }
        }
    }
    auto mark_back = [&](int32_t v) {
        uint32_t& found_back = bits ? marks_.at(v).found_back : long_marks_.at(v).found_back;
        if (found_back == 0) back_.push_back(v);
        found_back = 1;
    };
    for (size_t u = 0; u < used_words_; ++u) {
        const int32_t id = words_[u].id;
        if (id >= 0) {
            mark_back(id);
            for (int32_t v : ix_.traded_from(id)) mark_back(v);
        } else {
            for (int32_t v : words_[u].listed_by) mark_back(v);
        }
    }
    for (size_t u = 0; u < used_words_; ++u) {
        Word& w = words_[u];
        for (int32_t x : w.finds) {
            const uint32_t back = bits ? marks_.at(x).found_back : long_marks_.at(x).found_back;
            if (back != 0) w.back_finds.push_back(x);
        }
    }
}

std::span<const RowWord> QuerySearch::row_words(std::span<const float> weights) {
    row_words_.clear();
    for (size_t p = 0; p < positions_.size(); ++p) {
        Word& w = words_[static_cast<size_t>(position_word_[p])];
        if (w.id >= 0) {
            row_words_.push_back(RowWord{w.id, weights[static_cast<size_t>(w.id)], w.text, ix_.tradeouts(w.id), {}});
            continue;
        }
        if (w.sorted_finds.size() != w.finds.size()) {  // sorted once per query, on its first position
            w.sorted_finds.assign(w.finds.begin(), w.finds.end());
            std::sort(w.sorted_finds.begin(), w.sorted_finds.end());
        }
        // Held by no indexed name: weighs as a word held once.
        row_words_.push_back(RowWord{-1, weights.back(), w.text, w.sorted_finds, w.listed_by});
    }
    return row_words_;
}

// What one pair of the query's distinct words will read, in postings.
int64_t QuerySearch::pair_cost(size_t u, size_t v) const noexcept {
    const auto probes = static_cast<int64_t>(words_[u].finds.size() * words_[v].finds.size()) * kProbeCost;
    return std::min(probes, std::min(words_[u].reach, words_[v].reach));
}

// The longer names one pair of the query's words reaches: counted in the
// pair index when its probes are few, else bounded as pair_cost bounds it.
// A common given name beside a middle initial reaches far more names than
// the same name beside a surname, though both pairs take as few probes.
int64_t QuerySearch::longer_cost(size_t u, size_t v) const noexcept {
    const Word& a = words_[u];
    const Word& b = words_[v];
    if (a.finds.size() * b.finds.size() > kCountedProbes) return pair_cost(u, v);
    each_pair(a.finds, b.finds, u == v, [&](int32_t x, int32_t y) { ix_.prefetch_pair(x, y, true); });
    int64_t names = 0;
    each_pair(a.finds, b.finds, u == v, [&](int32_t x, int32_t y) {
        names += static_cast<int64_t>(x == y ? ix_.postings(x).size() : ix_.pair_postings(x, y, true).size());
    });
    return names;
}

// What collect_by_pairs will read, in postings.
int64_t QuerySearch::pairs_cost() const noexcept {
    int64_t total = 0;
    for (size_t u = 0; u < used_words_; ++u) {
        for (size_t v = u; v < used_words_; ++v) {
            if (u != v || words_[u].repeats >= 2) total += pair_cost(u, v);
        }
    }
    return total;
}

// Every match also has two of its own positions found in the query: it holds
// two of the words found back, or one of them twice. When those words are
// few (a query of initials finds many words, but few find it), their pairs
// are the cheaper way in. Only for queries not found whole in longer names:
// the others go by their pairs of words, which take names of two words
// through words found back alone.
void QuerySearch::collect_by_back_words() {
    for (size_t u = 0; u < back_.size(); ++u) {
        for (size_t v = u + 1; v < back_.size(); ++v) add_pair(back_[u], back_[v], kTwoWords | kLonger);
        append(ix_.repeat_postings(back_[u]));
    }
}

// Every match holds words that find two distinct positions of the query: a
// pair of the pair index, or one word that finds both. A name of two words
// must have both its words found back too, so only such words are paired for
// them. A query found whole in every longer name reaches them all through any
// one pair of its words, the one reaching fewest.
void QuerySearch::collect_by_pairs() {
    const auto c = static_cast<int32_t>(positions_.size());
    const bool whole_against_longer = c > 2 && found_whole_against_longer(c);
    const auto cheapest = whole_against_longer ? cheapest_pair() : std::pair<size_t, size_t>{0, 0};
    for (size_t u = 0; u < used_words_; ++u) {
        for (size_t v = u; v < used_words_; ++v) {
            if (u == v && words_[u].repeats < 2) continue;
            gather_pair(u, v, kTwoWords);
            if (!whole_against_longer || (u == cheapest.first && v == cheapest.second)) gather_pair(u, v, kLonger);
        }
    }
}

// The pair of the query's distinct words that reaches the fewest longer names.
std::pair<size_t, size_t> QuerySearch::cheapest_pair() const noexcept {
    std::pair<size_t, size_t> cheapest{0, 0};
    int64_t best = -1;
    for (size_t u = 0; u < used_words_; ++u) {
        for (size_t v = u; v < used_words_; ++v) {
            if (u == v && words_[u].repeats < 2) continue;
            const int64_t cost = longer_cost(u, v);
            if (best < 0 || cost < best) {
                best = cost;
                cheapest = {u, v};
            }
        }
    }
    return cheapest;
}

// The names of one class holding words that find u and v: of their words
// found back, for names of two words (both must find the query back, and
// then every such name matches without being read). Probed pair by pair, or,
// when the probes would cost more, the postings of the side reaching fewer
// names scanned.
void QuerySearch::gather_pair(size_t u, size_t v, unsigned klass) {
    const bool back = klass == kTwoWords;
    const std::span<const int32_t> a = back ? words_[u].back_finds : words_[u].finds;
    const std::span<const int32_t> b = back ? words_[v].back_finds : words_[v].finds;
    const auto probes = static_cast<int64_t>(a.size() * b.size()) * kProbeCost;
    // Every word found back, mostly: then the word's own reach holds.
    const int64_t reach_a = a.size() == words_[u].finds.size() ? words_[u].reach : reach_of(a);
    const int64_t reach_b = b.size() == words_[v].finds.size() ? words_[v].reach : reach_of(b);
    if (probes > std::min(reach_a, reach_b)) {
        if (reach_a <= reach_b) {
            scan(a, words_[v].bits, klass);
        } else {
            scan(b, words_[u].bits, klass);
        }
        return;
    }
    if (a.size() * b.size() <= kPrefetchedProbes) {
        each_pair(a, b, u == v, [&](int32_t x, int32_t y) { ix_.prefetch_pair(x, y, !back); });
    }
    // A query of two words needs both found, and any name needs no more than
    // two of its own found against it: a name holding two words that find
    // the query back, one from each side, matches.
    const bool two = positions_.size() == 2;
    // Every slot is read before any list, so that the lists' first lines are
    // fetched together too.
    lists_.clear();
    each_pair(a, b, u == v, [&](int32_t x, int32_t y) {
        if (x == y) {
            add_shared(x, klass);
            return;
        }
        const std::span<const int32_t> names = ix_.pair_postings(x, y, !back);
        if (names.empty()) return;
        __builtin_prefetch(names.data());
        lists_.push_back({names, back || (two && found_back(x) && found_back(y))});
    });
    for (const PairList& list : lists_) {
        if (list.sure) {
            add_sure(list.names);
        } else {
            append(list.names);
        }
    }
}

void QuerySearch::add_sure(std::span<const int32_t> names) {
    if (names.empty()) return;
    if (!accepted_.empty()) runs_.push_back(accepted_.size());
    accepted_.insert(accepted_.end(), names.begin(), names.end());
}

bool QuerySearch::found_back(int32_t x) const noexcept {
    const RowMark* mark = marks_.find(x);
    return mark != nullptr && mark->found_back != 0;
}

int64_t QuerySearch::reach_of(std::span<const int32_t> words) const noexcept {
    int64_t reach = 0;
    for (int32_t x : words) reach += static_cast<int64_t>(ix_.postings(x).size());
    return reach;
}

void QuerySearch::add_pair(int32_t x, int32_t y, unsigned classes) {
    gather::pair_postings(ix_, x, y, classes, [this](std::span<const int32_t> s) { append(s); });
}

// Names holding x, which finds two positions at once.
void QuerySearch::add_shared(int32_t x, unsigned classes) {
    gather::shared_word(ix_, back_, marks_, x, classes, [this](std::span<const int32_t> s) { append(s); });
}

// The names of one class holding a word of `side`, kept when they also hold
// a word that finds one of `other_bits`.
void QuerySearch::scan(std::span<const int32_t> side, uint32_t other_bits, unsigned klass) {
    for (int32_t x : side) {
        for (int32_t j : ix_.postings(x)) {
            if (gather::holds_marked(ix_, marks_, j, other_bits, klass)) candidates_.push_back(j);
        }
    }
}

// Without pairs: every match has a position found other than the costliest
// word's, so it holds a word that finds one of the others.
void QuerySearch::collect_by_words() {
    size_t costliest = 0;
    for (size_t u = 1; u < used_words_; ++u) {
        if (words_[u].reach > words_[costliest].reach) costliest = u;
    }
    for (size_t u = 0; u < used_words_; ++u) {
        if (u == costliest && words_[u].repeats < 2) continue;
        for (int32_t x : words_[u].finds) append(ix_.postings(x));
    }
}

bool QuerySearch::accepts_bits(int32_t j) const noexcept {
    return accepts_marked(ix_, marks_, static_cast<int32_t>(positions_.size()), j);
}

bool QuerySearch::accepts_long(int32_t j) const noexcept {
    return accepts_long_marked(ix_, long_marks_, static_cast<int32_t>(positions_.size()), j);
}

constexpr size_t kBlockQueries = 64;

// What one worker holds across queries.
struct Worker {
    explicit Worker(const NameLookup::Private& p) : search(p) {}
    QuerySearch search;
    std::optional<PairScorer> scorer;  // when scoring
    std::vector<int32_t> kept;
    std::vector<float> kept_scores;
};

// The pairs of a block of queries, their scores beside them when asked for.
struct Found {
    std::vector<NamePair> pairs;
    std::vector<float> scores;
};

// A batch's repeated queries: each query's first occurrence (itself when it
// is one), and how many matches each first occurrence found. A repeated name
// is looked up once.
struct Repeats {
    std::vector<int32_t> first;
    std::vector<int64_t> count;

    // Throws std::bad_alloc.
    static Repeats of(std::span<const std::string_view> queries) {
        Repeats r;
        r.first.resize(queries.size());
        r.count.assign(queries.size(), 0);
        std::unordered_map<std::string_view, int32_t> seen;
        seen.reserve(queries.size());
        for (size_t q = 0; q < queries.size(); ++q) {
            r.first[q] = seen.try_emplace(queries[q], static_cast<int32_t>(q)).first->second;
        }
        return r;
    }
};

bool scoring(const LookupOptions& options) noexcept {
    return options.scores || options.min_score > -std::numeric_limits<float>::infinity();
}

// The matches scoring at least the floor, their scores in w.kept_scores.
std::span<const int32_t> keep_scored(Worker& w, const NameIndex& ix, std::span<const int32_t> matches, float floor) {
    w.kept.clear();
    w.kept_scores.clear();
    if (matches.empty()) return {};
    w.scorer->set_row(w.search.row_words(w.scorer->weights()));
    for (const int32_t j : matches) {
        const float score = w.scorer->score(ix.words(j));
        if (!(score >= floor)) continue;
        w.kept.push_back(j);
        w.kept_scores.push_back(score);
    }
    return w.kept;
}

}  // namespace

namespace {

// A batch's blocks on a team of workers, each block's pairs into its part.
// Throws std::bad_alloc.
template <class MakeWorker, class DoBlock>
SearchError find_in_team(size_t blocks, const LookupOptions& options, MakeWorker make_worker, DoBlock do_block,
                         std::vector<Found>& parts) {
    parts.resize(blocks);
    const int32_t workers = available_workers(options.threads);
    std::vector<std::unique_ptr<Worker>> team_workers(static_cast<size_t>(workers));
    for (auto& w : team_workers) w = make_worker();
    ParallelFor team(workers, options.stop, options.poll);
    team.run(blocks, [&](size_t b, int32_t worker) {
        const SearchError e = do_block(b, *team_workers[static_cast<size_t>(worker)], parts[b]);
        if (e != SearchError::none) team.fail(e);
    });
    return team.error();
}

// How many pairs the parts join to, repeated queries counted again.
int64_t joined_size(const Repeats& repeats) noexcept {
    int64_t total = 0;
    for (const int32_t r : repeats.first) total += repeats.count[static_cast<size_t>(r)];
    return total;
}

// Room for n pairs and, when scoring, their scores: the sink's, or the
// result's own. Throws std::bad_alloc.
std::pair<NamePair*, float*> room(size_t n, const LookupOptions& options, LookupResult& result) {
    if (options.sink != nullptr) {
        NamePair* pairs = options.sink->pairs(n);
        float* scores = options.scores ? options.sink->scores(n) : nullptr;
        if (pairs == nullptr || (options.scores && scores == nullptr)) throw std::bad_alloc();
        return {pairs, scores};
    }
    result.pairs.resize(n);
    if (options.scores) result.scores.resize(n);
    return {result.pairs.data(), options.scores ? result.scores.data() : nullptr};
}

// The parts joined in query order into `pairs` (and `scores`), a repeated
// query taking its first occurrence's matches (joined before it, so read
// back from what is written; `starts` holds one place per query).
void join_parts(std::vector<Found>& parts, const Repeats& repeats, std::vector<size_t>& starts, NamePair* pairs,
                float* scores) noexcept {
    const size_t n = repeats.first.size();
    size_t at = 0;
    for (size_t b = 0; b < parts.size(); ++b) {
        size_t k = 0;
        for (size_t q = b * kBlockQueries; q < std::min(n, (b + 1) * kBlockQueries); ++q) {
            starts[q] = at;
            const auto r = static_cast<size_t>(repeats.first[q]);
            const auto m = static_cast<size_t>(repeats.count[r]);
            if (r == q) {  // its own pairs, already numbered q
                std::copy_n(parts[b].pairs.begin() + static_cast<std::ptrdiff_t>(k), m, pairs + at);
                if (scores != nullptr) std::copy_n(parts[b].scores.begin() + static_cast<std::ptrdiff_t>(k), m, scores + at);
                k += m;
            } else {
                for (size_t t = 0; t < m; ++t) {
                    pairs[at + t] = NamePair{static_cast<int32_t>(q), pairs[starts[r] + t].name2};
                    if (scores != nullptr) scores[at + t] = scores[starts[r] + t];
                }
            }
            at += m;
        }
        parts[b] = {};
    }
}

// A batch found on the calling thread: its pairs into the sink, or moved
// into the result. Throws std::bad_alloc.
void hand_over(Found& found, const LookupOptions& options, LookupResult& result) {
    if (options.sink == nullptr) {
        result.pairs = std::move(found.pairs);
        result.scores = std::move(found.scores);
        return;
    }
    const auto [pairs, scores] = room(found.pairs.size(), options, result);
    std::copy(found.pairs.begin(), found.pairs.end(), pairs);
    if (scores != nullptr) std::copy(found.scores.begin(), found.scores.end(), scores);
}

// A team's parts joined into the sink or the result. Throws std::bad_alloc.
SearchError join(std::vector<Found>& parts, const Repeats& repeats, const LookupOptions& options,
                 LookupResult& result) {
    const int64_t total = joined_size(repeats);
    if (total > options.max_pairs) return SearchError::too_many_pairs;
    std::vector<size_t> starts(repeats.first.size());
    const auto [pairs, scores] = room(static_cast<size_t>(total), options, result);
    join_parts(parts, repeats, starts, pairs, scores);
    return SearchError::none;
}

}  // namespace

NameLookup::NameLookup(std::unique_ptr<Private> p) noexcept : p_(std::move(p)) {}
NameLookup::~NameLookup() = default;

std::unique_ptr<NameLookup> NameLookup::make(const SearchIndex& index) noexcept {
    try {
        auto p = std::make_unique<Private>(index);
        const NameIndex& ix = index.index();
        const TradeoutTable& table = index.table();
        for (uint64_t slot = 0; slot < table.entries.size(); ++slot) {
            const TradeoutEntry& e = table.entries[slot];
            // A key stored twice is found at its first slot only.
            if (!e.occupied || !e.matches || tradeout_table_find(table, e.key) != slot) continue;
            const int32_t key = ix.find_word(e.key);
            if (key < 0) continue;
            for (std::string_view t : e.matches->words) {
                if (t == e.key || ix.find_word(t) >= 0) continue;
                std::vector<int32_t>& keys = p->listed_by[t];
                if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
            }
        }
        for (auto& entry : p->listed_by) std::sort(entry.second.begin(), entry.second.end());
        return std::unique_ptr<NameLookup>(new NameLookup(std::move(p)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

LookupResult NameLookup::find(std::span<const std::string_view> queries, const LookupOptions& options) const noexcept {
    LookupResult result;
    if (std::isnan(options.min_score)) return LookupResult{SearchError::bad_options, {}, {}};
    const size_t blocks = (queries.size() + kBlockQueries - 1) / kBlockQueries;
    const NameIndex& ix = p_->index.index();
    std::atomic<int64_t> stored{0};
    Repeats repeats;  // a team's batch only
    auto do_block = [&](size_t b, Worker& w, Found& out) -> SearchError {
        const size_t end = std::min(queries.size(), (b + 1) * kBlockQueries);
        for (size_t q = b * kBlockQueries; q < end; ++q) {
            if (options.stop != nullptr && options.stop->stop_requested()) return SearchError::stopped;
            if (!repeats.first.empty() && repeats.first[q] != static_cast<int32_t>(q)) continue;
            auto matches = w.search.match(queries[q]);
            if (w.scorer) matches = keep_scored(w, ix, matches, options.min_score);
            const auto n = static_cast<int64_t>(matches.size());
            if (n > 0 && stored.fetch_add(n, std::memory_order_relaxed) + n > options.max_pairs) {
                return SearchError::too_many_pairs;
            }
            if (!repeats.first.empty()) repeats.count[q] = n;
            for (int32_t j : matches) out.pairs.push_back(NamePair{static_cast<int32_t>(q), j});
            if (options.scores) out.scores.insert(out.scores.end(), w.kept_scores.begin(), w.kept_scores.end());
        }
        if (options.progress != nullptr) options.progress->add(static_cast<int64_t>(end - b * kBlockQueries));
        return SearchError::none;
    };
    try {
        const std::span<const float> weights = scoring(options) ? p_->weights() : std::span<const float>();
        auto make_worker = [&] {
            auto w = std::make_unique<Worker>(*p_);
            if (scoring(options)) w->scorer.emplace(ix, weights);
            return w;
        };
        if (queries.size() < kTeamQueries) {
            const auto worker = make_worker();
            Found found;
            for (size_t b = 0; b < blocks && result.error == SearchError::none; ++b) {
                result.error = do_block(b, *worker, found);
            }
            if (result.error == SearchError::none) hand_over(found, options, result);
        } else {
            repeats = Repeats::of(queries);
            std::vector<Found> parts;
            result.error = find_in_team(blocks, options, make_worker, do_block, parts);
            if (result.error == SearchError::none) result.error = join(parts, repeats, options, result);
        }
    } catch (const std::bad_alloc&) {
        result.error = SearchError::out_of_memory;
    } catch (const std::length_error&) {
        result.error = SearchError::out_of_memory;
    }
    if (result.error != SearchError::none) result = LookupResult{result.error, {}, {}};
    return result;
}

}  // namespace talvik
