#include "search.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <new>
#include <vector>

#include "talvik/memory_limit.h"

namespace talvik::native {
namespace {

constexpr double gib = 1024.0 * 1024.0 * 1024.0;

// Pairs per piece: 256 MiB of them.
constexpr int64_t piece_pairs = int64_t{1} << 25;

// A stored pair costs its place in the engine's set and its copy in the
// block, and so does its score when it has one.
constexpr uint64_t bytes_per_stored_pair(bool scores) { return 2 * (sizeof(NamePair) + (scores ? sizeof(float) : 0)); }

SearchOptions options_for(const SearchCall& call, Rows rows, PairOutput output) noexcept {
    SearchOptions o;
    const PairFilter& f = call.filter;
    // A piece that cannot fit fails as soon as its pairs pass what fits.
    if (output == PairOutput::store) o.max_pairs = binding::pair_budget(bytes_per_stored_pair(f.scores));
    o.scores = output == PairOutput::store && f.scores;
    o.min_score = f.min_score;
    o.blocks = f.blocks;
    o.threads = call.threads;
    o.first_row = rows.first;
    o.last_row = rows.last;
    o.min_second = call.min_second;
    o.output = output;
    o.stop = call.released.stop();
    o.progress = call.released.progress();
    o.poll = call.released.poll();
    return o;
}

// PyErr_Format knows no %f: the figures are written here first.
bool raise_too_many(uint64_t needed) noexcept {
    char message[256];
    std::snprintf(message, sizeof message,
                  "the pairs found need %.2f GiB more, and only %.2f GiB of memory is available; count() "
                  "tells how many there are, and iter_pairs() or rows= take them in parts",
                  static_cast<double>(needed) / gib, static_cast<double>(memory_available()) / gib);
    PyErr_SetString(PyExc_MemoryError, message);
    return false;
}

// Room for `more` pairs (and their scores), refused up front when the
// system cannot hold them.
bool make_room(PairBlock& out, ScoreBlock* scores, int64_t more) noexcept {
    const auto bytes = static_cast<uint64_t>(more) * (sizeof(NamePair) + (scores ? sizeof(float) : 0));
    if (bytes > memory_available()) return raise_too_many(bytes);
    if (!out.reserve(out.size() + more) || (scores && !scores->reserve(scores->size() + more))) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

}  // namespace

bool raise_search_error(SearchError error) noexcept {
    return binding::raise_search_error(error,
                                       "the pairs found do not fit in the memory available; count() tells how "
                                       "many there are, and iter_pairs() or rows= take them in parts");
}

bool collect_pairs(const SearchCall& call, Rows rows, int64_t limit, PairBlock& out, ScoreBlock* scores,
                   int32_t* end) noexcept {
    if (!call.filter.scores) scores = nullptr;
    PiecePlan plan(int64_t{rows.last} - rows.first, std::min(piece_pairs, limit));
    int32_t row = rows.first;
    while (row < rows.last && out.size() < limit) {
        const Rows piece{row, plan.end_of_piece(row, rows.last)};
        SearchOptions o = options_for(call, piece, PairOutput::store);
        // A piece of several rows may hold no more than is left: past it, the
        // search stops at once and fewer rows are tried.
        const int64_t left = limit - out.size();
        const bool capped = piece.last - piece.first > 1 && left < o.max_pairs;
        if (capped) o.max_pairs = left;
        const PairResult result =
            call.released.run(row - rows.first, [&]() noexcept { return find_pairs(call.index, o); });
        if (capped && result.error() == SearchError::too_many_pairs) {
            plan.shrink(piece.last - piece.first);
            continue;
        }
        if (!result.ok()) return raise_search_error(result.error());
        if (!make_room(out, scores, result.count())) return false;
        result.copy_to(out.end());
        out.added(result.count());
        if (scores != nullptr) {
            result.copy_scores_to(scores->end());
            scores->added(result.count());
        }
        plan.record(piece.last - piece.first, result.count());
        row = piece.last;
    }
    *end = row;
    return true;
}

int64_t count_pairs(const SearchCall& call, Rows rows) noexcept {
    if (rows.first >= rows.last) return 0;
    const SearchOptions o = options_for(call, rows, PairOutput::count);
    const PairResult result = call.released.run(0, [&]() noexcept { return find_pairs(call.index, o); });
    if (!result.ok()) {
        raise_search_error(result.error());
        return -1;
    }
    return result.count();
}

bool group_names(const SearchCall& call, Rows rows, PairResult& out) noexcept {
    const SearchOptions o = options_for(call, rows, PairOutput::groups);
    out = call.released.run(0, [&]() noexcept { return find_pairs(call.index, o); });
    return out.ok() || raise_search_error(out.error());
}

bool link_pairs(const NameList& other, const NameList& names, const TradeoutTable& table, int32_t threads,
                Released& released, const PairFilter& filter, PairBlock& out, ScoreBlock* scores) noexcept {
    const int32_t n_other = other.size();
    if (int64_t{n_other} + names.size() > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "both lists together can hold at most 2147483647 names");
        return false;
    }
    std::vector<std::string_view> views;
    try {
        views.reserve(static_cast<size_t>(n_other) + static_cast<size_t>(names.size()));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    views.insert(views.end(), other.views().begin(), other.views().end());
    views.insert(views.end(), names.views().begin(), names.views().end());
    SearchIndex::Built built = released.run(0, [&]() noexcept {
        return SearchIndex::build(views, table, threads, released.stop(), released.poll());
    });
    if (!built.index) return raise_search_error(built.error);
    // Pairs within `other` are cut by min_second, within `names` by the rows.
    const SearchCall call{*built.index, threads, n_other, released, filter};
    int32_t end = 0;
    if (!collect_pairs(call, {0, n_other}, INT64_MAX, out, scores, &end)) return false;
    for (NamePair* p = out.data(); p != out.end(); ++p) p->name2 -= n_other;
    return true;
}

}  // namespace talvik::native
