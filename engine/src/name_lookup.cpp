#include "talvik/name_lookup.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <new>
#include <unordered_map>

#include "candidate_gather.h"
#include "candidate_search.h"
#include "name_index.h"
#include "parallel_for.h"
#include "talvik/match_rule.h"

namespace talvik {

// For words of a query that no indexed name holds: which indexed words list
// them as a tradeout (a word the index knows finds those through
// traded_from). Read once from the table.
struct NameLookup::Private {
    const SearchIndex& index;
    std::unordered_map<std::string_view, std::vector<int32_t>> listed_by;
};

namespace {

// Queries of up to this many words mark positions as bits; longer ones keep
// a few positions per word, as the search does for long rows.
constexpr size_t kBitQueryWords = 32;
// Queries of more words go by single words: their pairs would be too many.
constexpr size_t kMaxPairQueryWords = 16;
using gather::kLonger;
using gather::kProbeCost;
using gather::kTwoWords;

class QuerySearch {
public:
    explicit QuerySearch(const NameLookup::Private& p) noexcept : p_(p), ix_(p.index.index()) {}

    // The indexed names that match `query`, in increasing order. Throws std::bad_alloc.
    std::span<const int32_t> match(std::string_view query);

private:
    struct Word {
        std::string_view text;
        int32_t id = -1;             // in the index, or -1
        std::vector<int32_t> finds;  // the index's words that find it: itself, then its tradeouts
        int64_t reach = 0;           // their postings together
        uint32_t bits = 0;           // its positions (queries of up to kBitQueryWords words)
        int32_t repeats = 0;
    };

    void mark();
    int64_t pairs_cost() const noexcept;
    void collect_by_pairs();
    void collect_by_back_words();
    void collect_by_words();
    int64_t pair_cost(size_t u, size_t v) const noexcept;
    void add_pair(int32_t x, int32_t y, unsigned classes);
    void add_shared(int32_t x, unsigned classes);
    void scan(const Word& side, uint32_t other_bits, unsigned classes);
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
};

std::span<const int32_t> QuerySearch::match(std::string_view query) {
    positions_.clear();
    candidates_.clear();
    accepted_.clear();
    for_each_word(query, [&](std::string_view w) { positions_.push_back(w); });
    if (!can_match(static_cast<int32_t>(positions_.size()))) return {};
    mark();
    if (positions_.size() > kMaxPairQueryWords || !ix_.has_pair_index()) {
        collect_by_words();
    } else if (static_cast<int64_t>(back_.size()) * static_cast<int64_t>(back_.size()) * kProbeCost < pairs_cost()) {
        collect_by_back_words();
    } else {
        collect_by_pairs();
    }
    if (ix_.has_long_names()) {
        for (size_t u = 0; u < used_words_; ++u) {
            for (int32_t x : words_[u].finds) append(ix_.long_postings(x));
        }
    }
    std::sort(candidates_.begin(), candidates_.end());
    candidates_.erase(std::unique(candidates_.begin(), candidates_.end()), candidates_.end());
    const bool bits = positions_.size() <= kBitQueryWords;
    for_each_fetched_ahead(ix_, candidates_, [&](int32_t j) {
        if (bits ? accepts_bits(j) : accepts_long(j)) accepted_.push_back(j);
    });
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
        for (int32_t x : w.finds) w.reach += static_cast<int64_t>(ix_.postings(x).size());
        expected += w.finds.size() + 1;
        if (id >= 0) {
            expected += ix_.traded_from(id).size();
        } else if (auto it = p_.listed_by.find(w.text); it != p_.listed_by.end()) {
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
        } else if (auto it = p_.listed_by.find(words_[u].text); it != p_.listed_by.end()) {
            for (int32_t v : it->second) mark_back(v);
        }
    }
}

// What one pair of the query's distinct words will read, in postings.
int64_t QuerySearch::pair_cost(size_t u, size_t v) const noexcept {
    const auto probes = static_cast<int64_t>(words_[u].finds.size() * words_[v].finds.size()) * kProbeCost;
    return std::min(probes, std::min(words_[u].reach, words_[v].reach));
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
// are the cheaper way in.
void QuerySearch::collect_by_back_words() {
    for (size_t u = 0; u < back_.size(); ++u) {
        for (size_t v = u + 1; v < back_.size(); ++v) add_pair(back_[u], back_[v], kTwoWords | kLonger);
        append(ix_.repeat_postings(back_[u]));
    }
}

// Every match holds words that find two distinct positions of the query: a
// pair of the pair index, or one word that finds both. A query found whole
// in every longer name reaches them all through any one pair of its words,
// the cheapest; the other pairs look for names of two words only.
void QuerySearch::collect_by_pairs() {
    const auto c = static_cast<int32_t>(positions_.size());
    const bool whole_against_longer = c > 2 && found_whole_against_longer(c);
    size_t cheapest_u = 0, cheapest_v = 0;
    int64_t best = -1;
    for (size_t u = 0; u < used_words_; ++u) {
        for (size_t v = u; v < used_words_; ++v) {
            if (u == v && words_[u].repeats < 2) continue;
            const int64_t cost = pair_cost(u, v);
            if (best < 0 || cost < best) {
                best = cost;
                cheapest_u = u;
                cheapest_v = v;
            }
        }
    }
    for (size_t u = 0; u < used_words_; ++u) {
        for (size_t v = u; v < used_words_; ++v) {
            if (u == v && words_[u].repeats < 2) continue;
            const unsigned classes =
                whole_against_longer && (u != cheapest_u || v != cheapest_v) ? kTwoWords : kTwoWords | kLonger;
            const Word& a = words_[u];
            const Word& b = words_[v];
            const auto probes = static_cast<int64_t>(a.finds.size() * b.finds.size()) * kProbeCost;
            if (probes > std::min(a.reach, b.reach)) {
                if (a.reach <= b.reach) {
                    scan(a, b.bits, classes);
                } else {
                    scan(b, a.bits, classes);
                }
                continue;
            }
            for (size_t x = 0; x < a.finds.size(); ++x) {
                for (size_t y = u == v ? x : 0; y < b.finds.size(); ++y) {
                    if (a.finds[x] == b.finds[y]) {
                        add_shared(a.finds[x], classes);
                    } else {
                        add_pair(a.finds[x], b.finds[y], classes);
                    }
                }
            }
        }
    }
}

void QuerySearch::add_pair(int32_t x, int32_t y, unsigned classes) {
    gather::pair_postings(ix_, x, y, classes, [this](std::span<const int32_t> s) { append(s); });
}

// Names holding x, which finds two positions at once.
void QuerySearch::add_shared(int32_t x, unsigned classes) {
    gather::shared_word(ix_, back_, marks_, x, classes, [this](std::span<const int32_t> s) { append(s); });
}

// The names holding a word that finds `side`, kept when they also hold a
// word that finds one of `other_bits`.
void QuerySearch::scan(const Word& side, uint32_t other_bits, unsigned classes) {
    for (int32_t x : side.finds) {
        for (int32_t j : ix_.postings(x)) {
            const auto words_j = ix_.words(j);
            if ((classes & (words_j.size() == 2 ? kTwoWords : kLonger)) == 0) continue;
            for (int32_t v : words_j) {
                const RowMark* mark = marks_.find(v);
                if (mark != nullptr && (mark->positions & other_bits) != 0) {
                    candidates_.push_back(j);
                    break;
                }
            }
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

}  // namespace

NameLookup::NameLookup(std::unique_ptr<Private> p) noexcept : p_(std::move(p)) {}
NameLookup::~NameLookup() = default;

std::unique_ptr<NameLookup> NameLookup::make(const SearchIndex& index) noexcept {
    try {
        auto p = std::make_unique<Private>(Private{index, {}});
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
        return std::unique_ptr<NameLookup>(new NameLookup(std::move(p)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

LookupResult NameLookup::find(std::span<const std::string_view> queries, const LookupOptions& options) const noexcept {
    LookupResult result;
    const size_t blocks = (queries.size() + kBlockQueries - 1) / kBlockQueries;
    std::atomic<int64_t> stored{0};
    auto do_block = [&](size_t b, QuerySearch& search, std::vector<NamePair>& out) -> SearchError {
        const size_t end = std::min(queries.size(), (b + 1) * kBlockQueries);
        for (size_t q = b * kBlockQueries; q < end; ++q) {
            if (options.stop != nullptr && options.stop->stop_requested()) return SearchError::stopped;
            const auto matches = search.match(queries[q]);
            const auto n = static_cast<int64_t>(matches.size());
            if (n > 0 && stored.fetch_add(n, std::memory_order_relaxed) + n > options.max_pairs) {
                return SearchError::too_many_pairs;
            }
            for (int32_t j : matches) out.push_back(NamePair{static_cast<int32_t>(q), j});
        }
        if (options.progress != nullptr) options.progress->add(static_cast<int64_t>(end - b * kBlockQueries));
        return SearchError::none;
    };
    try {
        if (queries.size() < kTeamQueries) {
            QuerySearch search(*p_);
            for (size_t b = 0; b < blocks; ++b) {
                result.error = do_block(b, search, result.pairs);
                if (result.error != SearchError::none) break;
            }
        } else {
            std::vector<std::vector<NamePair>> parts(blocks);
            const int32_t workers = available_workers(options.threads);
            std::vector<std::unique_ptr<QuerySearch>> searches(static_cast<size_t>(workers));
            for (auto& s : searches) s = std::make_unique<QuerySearch>(*p_);
            ParallelFor team(workers, options.stop, options.poll);
            team.run(blocks, [&](size_t b, int32_t worker) {
                const SearchError e = do_block(b, *searches[static_cast<size_t>(worker)], parts[b]);
                if (e != SearchError::none) team.fail(e);
            });
            result.error = team.error();
            if (result.error == SearchError::none) {
                size_t total = 0;
                for (const auto& part : parts) total += part.size();
                result.pairs.reserve(total);
                for (auto& part : parts) {
                    result.pairs.insert(result.pairs.end(), part.begin(), part.end());
                    part = {};
                }
            }
        }
    } catch (const std::bad_alloc&) {
        result.error = SearchError::out_of_memory;
    } catch (const std::length_error&) {
        result.error = SearchError::out_of_memory;
    }
    if (result.error != SearchError::none) result.pairs = {};
    return result;
}

}  // namespace talvik
