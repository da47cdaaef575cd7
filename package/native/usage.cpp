#include "usage.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <vector>

#include "native.h"
#include "talvik/memory_limit.h"
#include "talvik/binding/piece_plan.h"
#include "talvik/tradeout_usage.h"

namespace talvik::native {
namespace {

// Pairs per piece: 32 MiB of them, held twice at most.
constexpr int64_t piece_pairs = int64_t{1} << 22;

struct Piece {
    const SearchIndex& index;
    SearchOptions search;
    UsageOptions usage;
};

// Finds one piece's pairs and adds their tally; runs detached.
SearchError tally_piece(const Piece& piece, std::vector<NamePair>& pairs, std::vector<KeyUsage>& totals,
                        int64_t& found) noexcept {
    const PairResult result = find_pairs(piece.index, piece.search);
    if (!result.ok()) return result.error();
    try {
        pairs.resize(static_cast<size_t>(result.count()));
    } catch (const std::bad_alloc&) {
        return SearchError::out_of_memory;
    } catch (const std::length_error&) {
        return SearchError::out_of_memory;
    }
    result.copy_to(pairs.data());
    found = result.count();
    return add_tradeout_usage(piece.index, pairs, piece.usage, totals);
}

Piece piece_of(const SearchCall& call, int32_t first, int32_t last) noexcept {
    Piece p{call.index, {}, {}};
    // Each pair is stored by the search and copied once.
    p.search.max_pairs = binding::pair_budget(2 * sizeof(NamePair));
    p.search.threads = call.threads;
    p.search.first_row = first;
    p.search.last_row = last;
    p.search.stop = call.released.stop();
    p.search.progress = call.released.progress();
    p.search.poll = call.released.poll();
    p.usage.threads = call.threads;
    p.usage.stop = call.released.stop();
    p.usage.poll = call.released.poll();
    return p;
}

bool tally_all(const SearchCall& call, std::vector<KeyUsage>& totals) noexcept {
    const int32_t n = call.index.size();
    PiecePlan plan(n, piece_pairs);
    std::vector<NamePair> pairs;
    for (int32_t row = 0; row < n;) {
        const Piece piece = piece_of(call, row, plan.end_of_piece(row, n));
        int64_t found = 0;
        const SearchError error =
            call.released.run(row, [&]() noexcept { return tally_piece(piece, pairs, totals, found); });
        if (error != SearchError::none) return raise_search_error(error);
        plan.record(piece.search.last_row - row, found);
        row = piece.search.last_row;
    }
    return true;
}

PyObject* usage_item(const TradeoutEntry& entry, const KeyUsage& usage) noexcept {
    const Ref key(PyUnicode_DecodeUTF8(entry.key.data(), static_cast<Py_ssize_t>(entry.key.size()), "strict"));
    if (!key) return nullptr;
    const Ref pairs(PyLong_FromLongLong(usage.pairs));
    const Ref needed(pairs ? PyLong_FromLongLong(usage.needed) : nullptr);
    return needed ? PyTuple_Pack(3, key.get(), pairs.get(), needed.get()) : nullptr;
}

PyObject* usage_list(const TradeoutTable& table, const std::vector<KeyUsage>& totals) noexcept {
    std::vector<size_t> used;
    try {
        for (size_t s = 0; s < totals.size(); ++s) {
            if (totals[s].pairs > 0) used.push_back(s);
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    std::sort(used.begin(), used.end(), [&](size_t a, size_t b) {
        if (totals[a].pairs != totals[b].pairs) return totals[a].pairs > totals[b].pairs;
        return table.entries[a].key < table.entries[b].key;  // UTF-8 bytes sort as code points
    });
    Ref list(PyList_New(static_cast<Py_ssize_t>(used.size())));
    if (!list) return nullptr;
    for (size_t k = 0; k < used.size(); ++k) {
        PyObject* item = usage_item(table.entries[used[k]], totals[used[k]]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
}

}  // namespace

PyObject* tradeout_usage_list(const SearchCall& call) noexcept {
    std::vector<KeyUsage> totals;
    try {
        totals.resize(static_cast<size_t>(call.index.table().capacity));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    }
    if (!tally_all(call, totals)) return nullptr;
    return usage_list(call.index.table(), totals);
}

}  // namespace talvik::native
