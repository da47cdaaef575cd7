#include "search.h"

#include <algorithm>
#include <climits>
#include <new>
#include <vector>

#include "memory_limit.h"

namespace talvik::native {
namespace {

constexpr double gib = 1024.0 * 1024.0 * 1024.0;

// Rows per piece: a first guess of a sixty-fourth of the range, then as many
// rows as the pairs per row seen so far say give about `target` pairs.
class PiecePlan {
public:
    static constexpr int64_t target = int64_t{1} << 25;  // 256 MiB of pairs

    explicit PiecePlan(Rows rows) noexcept
        : next_(std::max<int64_t>(16384, (int64_t{rows.last} - rows.first) / 64)) {}

    int32_t end_of_piece(int32_t row, int32_t last) const noexcept {
        return static_cast<int32_t>(std::min<int64_t>(last, row + next_));
    }

    void record(int64_t rows, int64_t pairs) noexcept {
        rows_ += rows;
        pairs_ += pairs;
        const int64_t wanted = pairs_ == 0 ? 16 * rows : target * rows_ / pairs_;
        next_ = std::clamp<int64_t>(wanted, 1024, std::max<int64_t>(16 * rows, 1024));
    }

private:
    int64_t next_;
    int64_t rows_ = 0;
    int64_t pairs_ = 0;
};

// A stored pair costs its place in the engine's set and its copy in the block.
constexpr uint64_t bytes_per_stored_pair = 2 * sizeof(NamePair);

SearchOptions options_for(const SearchCall& call, Rows rows, PairOutput output) noexcept {
    SearchOptions o;
    if (output == PairOutput::store) {
        // A piece that cannot fit fails as soon as its pairs pass what fits.
        o.max_pairs = static_cast<int64_t>(std::min<uint64_t>(memory_available() / bytes_per_stored_pair, INT64_MAX));
    }
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

bool raise_too_many(uint64_t needed) noexcept {
    PyErr_Format(PyExc_MemoryError,
                 "the pairs found need %.2f GiB more, and only %.2f GiB of memory is available; count() "
                 "tells how many there are, and iter_pairs() or rows= take them in parts",
                 static_cast<double>(needed) / gib, static_cast<double>(memory_available()) / gib);
    return false;
}

// Room for `more` pairs, refused up front when the system cannot hold them.
bool make_room(PairBlock& out, int64_t more) noexcept {
    const auto bytes = static_cast<uint64_t>(more) * sizeof(NamePair);
    if (bytes > memory_available()) return raise_too_many(bytes);
    if (!out.reserve(out.size() + more)) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

}  // namespace

bool raise_search_error(SearchError error, const Released& released) noexcept {
    if (PyErr_Occurred()) return false;  // KeyboardInterrupt, or the progress callback's error
    switch (error) {
        case SearchError::pair_set_full:  // past the memory available, or past what one set can index
            PyErr_SetString(PyExc_MemoryError,
                            "the pairs found do not fit in the memory available; count() tells how many "
                            "there are, and iter_pairs() or rows= take them in parts");
            break;
        case SearchError::out_of_memory:
            PyErr_NoMemory();
            break;
        default:
            PyErr_SetString(PyExc_RuntimeError, released.failed() ? "the search was stopped" : "the search failed");
            break;
    }
    return false;
}

bool collect_pairs(const SearchCall& call, Rows rows, PairBlock& out) noexcept {
    PiecePlan plan(rows);
    for (int32_t row = rows.first; row < rows.last;) {
        const Rows piece{row, plan.end_of_piece(row, rows.last)};
        const SearchOptions o = options_for(call, piece, PairOutput::store);
        const PairResult result =
            call.released.run(row - rows.first, [&]() noexcept { return find_pairs(call.index, o); });
        if (!result.ok()) return raise_search_error(result.error(), call.released);
        if (!make_room(out, result.count())) return false;
        result.copy_to(out.end());
        out.added(result.count());
        plan.record(piece.last - piece.first, result.count());
        row = piece.last;
    }
    return true;
}

int64_t count_pairs(const SearchCall& call, Rows rows) noexcept {
    if (rows.first >= rows.last) return 0;
    const SearchOptions o = options_for(call, rows, PairOutput::count);
    const PairResult result = call.released.run(0, [&]() noexcept { return find_pairs(call.index, o); });
    if (!result.ok()) {
        raise_search_error(result.error(), call.released);
        return -1;
    }
    return result.count();
}

bool group_names(const SearchCall& call, Rows rows, PairResult& out) noexcept {
    const SearchOptions o = options_for(call, rows, PairOutput::groups);
    out = call.released.run(0, [&]() noexcept { return find_pairs(call.index, o); });
    return out.ok() || raise_search_error(out.error(), call.released);
}

bool link_pairs(const NameList& other, const NameList& names, const TradeoutTable& table, int32_t threads,
                Released& released, PairBlock& out) noexcept {
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
    if (!built.index) return raise_search_error(built.error, released);
    // Pairs within `other` are cut by min_second, within `names` by the rows.
    const SearchCall call{*built.index, threads, n_other, released};
    if (!collect_pairs(call, {0, n_other}, out)) return false;
    for (NamePair* p = out.data(); p != out.end(); ++p) p->name2 -= n_other;
    return true;
}

}  // namespace talvik::native
