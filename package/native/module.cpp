// talvik._native: the types the talvik package is built on. It runs without
// the GIL: it keeps its types in module state, shares nothing mutable between
// calls, and every object it creates is read-only once made, so one index
// serves searches from many threads at once.
#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "native.h"
#include "talvik/pair_score.h"
#include "explain.h"
#include "label_array.h"
#include "names.h"
#include "normalize.h"
#include "saved.h"
#include "scores.h"
#include "search.h"
#include "tradeouts.h"
#include "usage.h"
#include "variants.h"

namespace talvik::native {
namespace {

struct ModuleState {
    PyTypeObject* names_type;
    PyTypeObject* index_type;
    PyTypeObject* pair_array_type;
    PyTypeObject* label_array_type;
};

ModuleState* module_state(PyObject* module) noexcept { return static_cast<ModuleState*>(PyModule_GetState(module)); }
ModuleState* type_state(PyTypeObject* type) noexcept { return static_cast<ModuleState*>(PyType_GetModuleState(type)); }

// A METH_FASTCALL function as the PyCFunction the method table stores.
template <class F>
PyCFunction fastcall(F* f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// ---- Names: a list of names read once, owning its bytes.

struct NamesObject {
    PyObject_HEAD
    std::unique_ptr<NameList> list;
};

const NameList& names_of(PyObject* o) noexcept { return *reinterpret_cast<NamesObject*>(o)->list; }

void names_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<NamesObject*>(self)->list.~unique_ptr();  // releases Arrow arrays, attached
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t names_length(PyObject* self) noexcept { return names_of(self).size(); }

PyType_Slot names_slots[] = {
    {Py_tp_doc, const_cast<char*>("Names read once, as the engine sees them.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(names_dealloc)},
    {Py_sq_length, reinterpret_cast<void*>(names_length)},
    {0, nullptr},
};

PyType_Spec names_spec = {
    "talvik._native.Names", sizeof(NamesObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, names_slots,
};

// Reads names with `read` into a new Names object; null with an exception set.
template <class Read>
PyObject* make_names(ModuleState* state, Read&& read) noexcept {
    std::unique_ptr<NameList> list;
    try {
        list = std::make_unique<NameList>();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (!read(*list)) return nullptr;
    PyTypeObject* type = state->names_type;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<NamesObject*>(self)->list) std::unique_ptr<NameList>(std::move(list));
    return self;
}

PyObject* names_from_sequence(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (!check_nargs("names_from_sequence", nargs, 2)) return nullptr;
    const char* what = label(args[1]);
    if (what == nullptr) return nullptr;
    const Ref names(Py_NewRef(args[0]));
    return make_names(module_state(module), [&](NameList& l) { return l.read_sequence(names.get(), what); });
}

PyObject* names_from_arrow_stream(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (!check_nargs("names_from_arrow_stream", nargs, 2)) return nullptr;
    const char* what = label(args[1]);
    if (what == nullptr) return nullptr;
    const Ref capsule(Py_NewRef(args[0]));
    return make_names(module_state(module), [&](NameList& l) { return l.read_arrow_stream(capsule.get(), what); });
}

PyObject* names_from_arrow_array(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (!check_nargs("names_from_arrow_array", nargs, 3)) return nullptr;
    const char* what = label(args[2]);
    if (what == nullptr) return nullptr;
    const Ref schema(Py_NewRef(args[0])), array(Py_NewRef(args[1]));
    return make_names(module_state(module), [&](NameList& l) { return l.read_arrow_array(schema.get(), array.get(), what); });
}

PyObject* names_from_codes(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (!check_nargs("names_from_codes", nargs, 3)) return nullptr;
    const char* what = label(args[2]);
    if (what == nullptr) return nullptr;
    const Ref codes(Py_NewRef(args[0])), categories(Py_NewRef(args[1]));
    return make_names(module_state(module), [&](NameList& l) { return l.read_codes(codes.get(), categories.get(), what); });
}

// ---- Index: the tradeout table and the engine's index over one Names, or
// a saved index opened from a file or from bytes.

struct Matcher {
    Ref names;   // the Names whose bytes a built index borrows
    Ref buffer;  // the bytes a saved index read from memory borrows
    TradeoutTablePtr table;
    std::unique_ptr<SearchIndex> index;  // built: destroyed before the table and the names
    std::unique_ptr<SavedIndex> saved;   // opened: owns its own table and index
    std::mutex preparing;                // makes `lookup` once
    std::unique_ptr<NameLookup> lookup;  // destroyed first, while its index lives
    int32_t threads = 1;

    int32_t size() const noexcept { return saved ? saved->size() : index->size(); }
};

struct IndexObject {
    PyObject_HEAD
    std::unique_ptr<Matcher> core;
};

Matcher& core_of(PyObject* o) noexcept { return *reinterpret_cast<IndexObject*>(o)->core; }

// The index to search: a saved one is checked first, once, with the
// interpreter released and Ctrl-C heard. Null with an exception set.
const SearchIndex* ready(Matcher& m, Released& released) noexcept {
    if (!m.saved) return m.index.get();
    if (!verify_saved(*m.saved, m.threads, released)) return nullptr;
    return m.saved->index();
}

// The lookup into a ready index, made on first use. Null with an exception set.
const NameLookup* lookup_of(Matcher& m, const SearchIndex& index, Released& released) noexcept {
    const NameLookup* made = released.run(0, [&]() noexcept {
        const std::lock_guard<std::mutex> lock(m.preparing);
        if (!m.lookup) m.lookup = NameLookup::make(index);
        return m.lookup.get();
    });
    if (made == nullptr) PyErr_NoMemory();
    return made;
}

void index_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<IndexObject*>(self)->core.~unique_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t index_length(PyObject* self) noexcept { return core_of(self).size(); }

bool int32_arg(PyObject* o, const char* name, int32_t* out) noexcept {
    const long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < INT32_MIN || v > INT32_MAX) {
        PyErr_Format(PyExc_OverflowError, "%s is out of range", name);
        return false;
    }
    *out = static_cast<int32_t>(v);
    return true;
}

bool progress_arg(PyObject* o) noexcept {
    if (o == Py_None || PyCallable_Check(o)) return true;
    PyErr_SetString(PyExc_TypeError, "progress must be None or a callable");
    return false;
}

// (first, last, progress) of pairs(), count() and groups(): the rows clipped to the names.
bool rows_args(const Matcher& m, PyObject* const* args, Py_ssize_t nargs, const char* function,
               Rows* rows) noexcept {
    if (!check_nargs(function, nargs, 3) || !int32_arg(args[0], "first", &rows->first) ||
        !int32_arg(args[1], "last", &rows->last) || !progress_arg(args[2])) {
        return false;
    }
    const int32_t n = m.size();
    rows->first = std::clamp(rows->first, 0, n);
    rows->last = std::clamp(rows->last, rows->first, n);
    return true;
}

// Runs search(call) for one call of an Index method, the interpreter released
// under the engine's poll, reporting rows to `progress` (None or a callable).
template <class Search>
PyObject* released_call(PyObject* self, PyObject* progress, const PairFilter& filter, Search&& search) noexcept {
    Matcher& m = core_of(self);
    const Ref held(Py_NewRef(progress));
    Released released(progress == Py_None ? nullptr : progress);
    const SearchIndex* index = ready(m, released);
    if (index == nullptr) return nullptr;
    const SearchCall call{*index, m.threads, 0, released, filter};
    return search(call);
}

// pairs(), pairs_upto() and link() give (pairs, scores) when scores were asked for.
PyObject* pairs_result(PyObject* self, PairBlock&& block, ScoreBlock&& scores, bool with_scores) noexcept {
    PyTypeObject* type = type_state(Py_TYPE(self))->pair_array_type;
    Ref pairs(make_pair_array(type, std::move(block)));
    if (!pairs || !with_scores) return pairs.release();
    const Ref column(make_score_array(type, std::move(scores)));
    return column ? PyTuple_Pack(2, pairs.get(), column.get()) : nullptr;
}

// The rows, progress and filter of pairs(), pairs_upto(), count() and
// groups(): args are (first, last, <limit>, progress, scores, min_score, blocks).
struct SearchArgs {
    Rows rows;
    PairFilter filter;
    HeldBuffer blocks;
};

bool search_args(PyObject* self, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t expected,
                 const char* function, SearchArgs& out) noexcept {
    if (!check_nargs(function, nargs, expected)) return false;
    PyObject* const rows[] = {args[0], args[1], args[expected - 4]};
    const Matcher& m = core_of(self);
    return rows_args(m, rows, 3, function, &out.rows) &&
           filter_args(args[expected - 3], args[expected - 2], args[expected - 1], m.size(), out.blocks, &out.filter);
}

PyObject* index_pairs(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    SearchArgs a;
    if (!search_args(self, args, nargs, 6, "pairs", a)) return nullptr;
    return released_call(self, args[2], a.filter, [&](const SearchCall& call) -> PyObject* {
        PairBlock block;
        ScoreBlock scores;
        int32_t end = 0;
        if (!collect_pairs(call, a.rows, INT64_MAX, block, &scores, &end)) return nullptr;
        return pairs_result(self, std::move(block), std::move(scores), a.filter.scores);
    });
}

PyObject* index_pairs_upto(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    SearchArgs a;
    if (!search_args(self, args, nargs, 7, "pairs_upto", a)) return nullptr;
    const int64_t limit = PyLong_AsLongLong(args[2]);
    if (limit < 1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "limit must be at least 1");
        return nullptr;
    }
    return released_call(self, args[3], a.filter, [&](const SearchCall& call) -> PyObject* {
        PairBlock block;
        ScoreBlock scores;
        int32_t end = 0;
        if (!collect_pairs(call, a.rows, limit, block, &scores, &end)) return nullptr;
        const Ref found(pairs_result(self, std::move(block), std::move(scores), a.filter.scores));
        return found ? Py_BuildValue("(Oi)", found.get(), end) : nullptr;
    });
}

PyObject* index_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    SearchArgs a;
    if (!search_args(self, args, nargs, 6, "count", a)) return nullptr;
    return released_call(self, args[2], a.filter, [&](const SearchCall& call) -> PyObject* {
        const int64_t count = count_pairs(call, a.rows);
        return count < 0 ? nullptr : PyLong_FromLongLong(count);
    });
}

PyObject* index_groups(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    SearchArgs a;
    if (!search_args(self, args, nargs, 6, "groups", a)) return nullptr;
    return released_call(self, args[2], a.filter, [&](const SearchCall& call) -> PyObject* {
        PairResult result;
        if (!group_names(call, a.rows, result)) return nullptr;
        return make_label_array(type_state(Py_TYPE(self))->label_array_type, std::move(result));
    });
}

PyObject* index_tradeout_usage(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (!check_nargs("tradeout_usage", nargs, 1) || !progress_arg(args[0])) return nullptr;
    return released_call(self, args[0], PairFilter{}, [](const SearchCall& call) { return tradeout_usage_list(call); });
}

// lookup() and link() both: a Names and a progress callback.
bool names_args(ModuleState* state, PyObject* const* args, Py_ssize_t nargs, const char* function) noexcept {
    if (!check_nargs(function, nargs, 2) || !progress_arg(args[1])) return false;
    if (!Py_IS_TYPE(args[0], state->names_type)) {
        PyErr_Format(PyExc_TypeError, "%s() needs a Names object", function);
        return false;
    }
    return true;
}

// lookup(other, progress, scores, min_score).
PyObject* index_lookup(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    Matcher& m = core_of(self);
    ModuleState* state = type_state(Py_TYPE(self));
    if (!check_nargs("lookup", nargs, 4) || !names_args(state, args, 2, "lookup")) return nullptr;
    const Ref other(Py_NewRef(args[0])), progress(Py_NewRef(args[1]));
    PairFilter filter;
    HeldBuffer no_blocks;
    if (!filter_args(args[2], args[3], Py_None, 0, no_blocks, &filter)) return nullptr;
    Released released(progress.get() == Py_None ? nullptr : progress.get());
    const SearchIndex* index = ready(m, released);
    if (index == nullptr) return nullptr;
    const NameLookup* lookup = lookup_of(m, *index, released);
    if (lookup == nullptr) return nullptr;
    PairBlock block;
    ScoreBlock scores;
    if (!lookup_pairs(*lookup, names_of(other.get()), m.threads, released, filter, block, scores)) return nullptr;
    return pairs_result(self, std::move(block), std::move(scores), filter.scores);
}

PyObject* index_link(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    Matcher& m = core_of(self);
    ModuleState* state = type_state(Py_TYPE(self));
    if (!check_nargs("link", nargs, 6) || !names_args(state, args, 2, "link")) return nullptr;
    const Ref other(Py_NewRef(args[0])), progress(Py_NewRef(args[1])), tradeouts(Py_NewRef(args[2]));
    PairFilter filter;
    HeldBuffer blocks;
    const Py_ssize_t both = Py_ssize_t{names_of(other.get()).size()} + m.size();
    if (!filter_args(args[3], args[4], args[5], both, blocks, &filter)) return nullptr;
    if (m.saved) {
        // No names to index afresh: the same pairs by lookup, through the saved table.
        if (args[2] != Py_None) {
            PyErr_SetString(PyExc_ValueError, "a saved index links through its own tradeouts only");
            return nullptr;
        }
        if (filter.scores || filter.min_score > -std::numeric_limits<float>::infinity() || !filter.blocks.empty()) {
            PyErr_SetString(PyExc_ValueError,
                            "a saved index links without scores or blocks (lookup() scores against the indexed "
                            "names); build one to use them");
            return nullptr;
        }
        PyObject* const lookup_args[] = {args[0], args[1], Py_False, Py_None};
        return index_lookup(self, lookup_args, 4);
    }
    // A table of this link's own (spelling variants between both lists), or the index's.
    TradeoutTablePtr own;
    if (tradeouts.get() != Py_None && !(own = table_from_dict(tradeouts.get()))) return nullptr;
    Released released(progress.get() == Py_None ? nullptr : progress.get());
    PairBlock block;
    ScoreBlock scores;
    if (!link_pairs(names_of(other.get()), names_of(m.names.get()), own ? *own : *m.table, m.threads, released,
                    filter, block, &scores)) {
        return nullptr;
    }
    return pairs_result(self, std::move(block), std::move(scores), filter.scores);
}

PyObject* index_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    Matcher& m = core_of(self);
    if (!check_nargs("save", nargs, 1)) return nullptr;
    const Ref path(Py_NewRef(args[0]));
    Released released(nullptr);
    const SearchIndex* index = ready(m, released);
    if (index == nullptr || !save_to_path(*index, path.get(), released)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* index_to_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    Matcher& m = core_of(self);
    if (!check_nargs("to_bytes", nargs, 0)) return nullptr;
    (void)args;
    Released released(nullptr);
    const SearchIndex* index = ready(m, released);
    return index == nullptr ? nullptr : saved_bytes(*index, released);
}

PyObject* index_verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    Matcher& m = core_of(self);
    if (!check_nargs("verify", nargs, 0)) return nullptr;
    (void)args;
    Released released(nullptr);
    if (ready(m, released) == nullptr) return nullptr;
    Py_RETURN_NONE;
}

PyObject* index_extended(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;

// The names at the given indices, as the index holds them (a name that can
// never match may be empty in a saved index): what a caller writes beside
// the pairs of an index whose names it no longer has.
PyObject* index_texts(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    Matcher& m = core_of(self);
    if (!check_nargs("texts", nargs, 1)) return nullptr;
    if (!PyTuple_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "texts() needs a tuple of int");
        return nullptr;
    }
    const Ref rows(Py_NewRef(args[0]));
    Released released(nullptr);
    const SearchIndex* index = ready(m, released);  // a saved index's name offsets are checked first
    if (index == nullptr) return nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(rows.get());
    Ref out(PyList_New(count));
    if (!out) return nullptr;
    for (Py_ssize_t k = 0; k < count; ++k) {
        int32_t row = 0;
        if (!int32_arg(PyTuple_GET_ITEM(rows.get(), k), "row", &row)) return nullptr;
        if (row < 0 || row >= m.size()) {
            PyErr_Format(PyExc_IndexError, "row %d is not below %d", row, m.size());
            return nullptr;
        }
        const std::string_view text = index->names()[static_cast<size_t>(row)];
        PyObject* item = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(out.get(), k, item);
    }
    return out.release();
}

// score_account(i, j) -> (score, words_i, words_j), each word (how, weight,
// contribution) with how an index into talvik.pair_score's kinds.
PyObject* index_score_account(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    Matcher& m = core_of(self);
    int32_t rows[2] = {0, 0};
    if (!check_nargs("score_account", nargs, 2) || !int32_arg(args[0], "i", &rows[0]) ||
        !int32_arg(args[1], "j", &rows[1])) {
        return nullptr;
    }
    for (int32_t row : rows) {
        if (row < 0 || row >= m.size()) {
            PyErr_Format(PyExc_IndexError, "row %d is not below %d", row, m.size());
            return nullptr;
        }
    }
    Released released(nullptr);
    const SearchIndex* index = ready(m, released);
    if (index == nullptr) return nullptr;
    std::optional<ScoreAccount> account = released.run(0, [&]() noexcept -> std::optional<ScoreAccount> {
        try {
            return score_account(*index, rows[0], rows[1]);
        } catch (const std::bad_alloc&) {
            return std::nullopt;
        }
    });
    if (!account) return PyErr_NoMemory();
    const auto words = [](const std::vector<ScoredWord>& list) -> PyObject* {
        Ref out(PyList_New(static_cast<Py_ssize_t>(list.size())));
        if (!out) return nullptr;
        for (size_t k = 0; k < list.size(); ++k) {
            PyObject* item = Py_BuildValue("(iff)", static_cast<int>(list[k].how), static_cast<double>(list[k].weight),
                                           static_cast<double>(list[k].contribution));
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), item);
        }
        return out.release();
    };
    const Ref first(words(account->words1)), second(words(account->words2));
    if (!first || !second) return nullptr;
    return Py_BuildValue("(dOO)", static_cast<double>(account->score), first.get(), second.get());
}

// single_word_scores(words) -> list of float: per word, the score of two
// names that are that word alone (see talvik/pair_score.h).
PyObject* index_single_word_scores(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    Matcher& m = core_of(self);
    if (!check_nargs("single_word_scores", nargs, 1)) return nullptr;
    if (!PyTuple_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "single_word_scores() needs a tuple of str");
        return nullptr;
    }
    const Ref words(Py_NewRef(args[0]));  // keeps each str, and so its UTF-8, alive
    const Py_ssize_t count = PyTuple_GET_SIZE(words.get());
    std::vector<std::string_view> views;
    try {
        views.reserve(static_cast<size_t>(count));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* word = PyTuple_GET_ITEM(words.get(), k);
        if (!PyUnicode_Check(word)) {
            PyErr_Format(PyExc_TypeError, "single_word_scores() needs str, not %T", word);
            return nullptr;
        }
        Py_ssize_t size = 0;
        const char* bytes = PyUnicode_AsUTF8AndSize(word, &size);
        if (bytes == nullptr) return nullptr;
        views.emplace_back(bytes, static_cast<size_t>(size));
    }
    Released released(nullptr);
    const SearchIndex* index = ready(m, released);
    if (index == nullptr) return nullptr;
    std::optional<std::vector<float>> scores = released.run(0, [&]() noexcept -> std::optional<std::vector<float>> {
        try {
            return single_word_scores(*index, views);
        } catch (const std::bad_alloc&) {
            return std::nullopt;
        }
    });
    if (!scores) return PyErr_NoMemory();
    Ref out(PyList_New(count));
    if (!out) return nullptr;
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* item = PyFloat_FromDouble(static_cast<double>((*scores)[static_cast<size_t>(k)]));
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(out.get(), k, item);
    }
    return out.release();
}

PyMethodDef index_methods[] = {
    {"pairs", fastcall(index_pairs), METH_FASTCALL,
     "pairs(first, last, progress, scores, min_score, blocks) -> PairArray, or (PairArray, scores) when\n"
     "scores is true: the pairs whose first index is in [first, last), scoring at least min_score (None:\n"
     "any) and agreeing on blocks (None, or an int64 code per name)."},
    {"pairs_upto", fastcall(index_pairs_upto), METH_FASTCALL,
     "pairs_upto(first, last, limit, progress, scores, min_score, blocks) -> (pairs, end): the pairs of rows\n"
     "[first, end), the rows searched until `limit` pairs are found (a row is never cut, so one row alone\n"
     "may pass it); pairs as pairs() gives them."},
    {"count", fastcall(index_count), METH_FASTCALL,
     "count(first, last, progress, scores, min_score, blocks) -> int: how many pairs pairs() would give."},
    {"groups", fastcall(index_groups), METH_FASTCALL,
     "groups(first, last, progress, scores, min_score, blocks) -> LabelArray: per name, the smallest index of\n"
     "its connected component in the graph of the pairs pairs() would give."},
    {"tradeout_usage", fastcall(index_tradeout_usage), METH_FASTCALL,
     "tradeout_usage(progress) -> list of (key, pairs, needed): the keys the pairs found words through."},
    {"link", fastcall(index_link), METH_FASTCALL,
     "link(other, progress, tradeouts, scores, min_score, blocks) -> PairArray (or with scores, a tuple):\n"
     "(i in other, j in these names) for every match; tradeouts (a dict) replaces the index's table for\n"
     "this link, None keeps it; blocks hold codes for other's names, then these."},
    {"lookup", fastcall(index_lookup), METH_FASTCALL,
     "lookup(other, progress, scores, min_score) -> PairArray (or with scores, a tuple): link()'s pairs,\n"
     "found through this index alone; scores weigh words by the indexed names."},
    {"save", fastcall(index_save), METH_FASTCALL, "save(path) -> None: the saved form, written atomically to path (bytes)."},
    {"to_bytes", fastcall(index_to_bytes), METH_FASTCALL, "to_bytes() -> bytes: the saved form."},
    {"extended", fastcall(index_extended), METH_FASTCALL,
     "extended(include_own, parts, threads) -> Index: a new index, with the same tradeouts, over these names\n"
     "(when include_own is true) followed by the names of each Names in the list parts."},
    {"score_account", fastcall(index_score_account), METH_FASTCALL,
     "score_account(i, j) -> (score, words_i, words_j): the score names i and j would have as a pair, each\n"
     "word as (how, weight, contribution), how 0 same, 1 tradeout, 2 one edit, 3 two edits, 4 initial,\n"
     "5 missing, 6 conflicting."},
    {"single_word_scores", fastcall(index_single_word_scores), METH_FASTCALL,
     "single_word_scores(words) -> list of float: per word (a tuple of str), the score two names that\n"
     "are that word alone would have as a pair; the rule never pairs them."},
    {"texts", fastcall(index_texts), METH_FASTCALL,
     "texts(rows) -> list of str: the names at these indices (a tuple of int)."},
    {"verify", fastcall(index_verify), METH_FASTCALL,
     "verify() -> None: checks a saved index's large sections now rather than before the first search."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_doc, const_cast<char*>("The tradeout table and the index over a Names, built once.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_methods, index_methods},
    {Py_sq_length, reinterpret_cast<void*>(index_length)},
    {0, nullptr},
};

PyType_Spec index_spec = {
    "talvik._native.Index", sizeof(IndexObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, index_slots,
};

// Builds the table and the index: interruptible, with the interpreter released.
// The index over m.names with m.table: interruptible, with the interpreter released.
bool build_search(Matcher& m) noexcept {
    Released released(nullptr);
    const NameList& names = names_of(m.names.get());
    SearchIndex::Built built = released.run(0, [&]() noexcept {
        return SearchIndex::build(names.views(), *m.table, m.threads, released.stop(), released.poll());
    });
    if (!built.index) return raise_search_error(built.error);
    m.index = std::move(built.index);
    return true;
}

// Builds the table and the index.
bool build_core(Matcher& m, PyObject* tradeouts) noexcept {
    m.table = table_from_dict(tradeouts);
    return m.table != nullptr && build_search(m);
}

std::unique_ptr<Matcher> new_matcher() noexcept;
bool threads_arg(PyObject* o, int32_t* threads) noexcept;
PyObject* make_index(ModuleState* state, std::unique_ptr<Matcher> m) noexcept;

PyObject* index_extended(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    Matcher& m = core_of(self);
    ModuleState* state = type_state(Py_TYPE(self));
    if (!check_nargs("extended", nargs, 3)) return nullptr;
    const int own = PyObject_IsTrue(args[0]);
    if (own < 0) return nullptr;
    if (!PyList_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "extended() needs a list of Names");
        return nullptr;
    }
    const Ref parts(PySequence_Tuple(args[1]));  // a list changed meanwhile cannot affect it
    if (!parts) return nullptr;
    std::vector<const NameList*> lists;
    try {
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(parts.get()); ++k) {
            PyObject* item = PyTuple_GET_ITEM(parts.get(), k);
            if (!Py_IS_TYPE(item, state->names_type)) {
                PyErr_SetString(PyExc_TypeError, "extended() needs a list of Names");
                return nullptr;
            }
            lists.push_back(&names_of(item));
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    std::unique_ptr<Matcher> out = new_matcher();
    if (!out || !threads_arg(args[2], &out->threads)) return nullptr;
    Released released(nullptr);
    const SearchIndex* index = ready(m, released);
    if (index == nullptr) return nullptr;
    out->names.reset(make_names(state, [&](NameList& l) { return l.read_parts(own ? &index->names() : nullptr, lists); }));
    if (!out->names) return nullptr;
    out->table = copy_tradeout_table(index->table());
    if (!out->table) return PyErr_NoMemory();
    if (!build_search(*out)) return nullptr;
    return make_index(state, std::move(out));
}

// A new Index object owning `m`; null with an exception set.
PyObject* make_index(ModuleState* state, std::unique_ptr<Matcher> m) noexcept {
    PyObject* self = state->index_type->tp_alloc(state->index_type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<IndexObject*>(self)->core) std::unique_ptr<Matcher>(std::move(m));
    return self;
}

bool threads_arg(PyObject* o, int32_t* threads) noexcept {
    if (!int32_arg(o, "threads", threads)) return false;
    if (*threads < 1) {
        PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
        return false;
    }
    return true;
}

std::unique_ptr<Matcher> new_matcher() noexcept {
    std::unique_ptr<Matcher> m(new (std::nothrow) Matcher());
    if (!m) PyErr_NoMemory();
    return m;
}

PyObject* open_index(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (!check_nargs("open_index", nargs, 2)) return nullptr;
    std::unique_ptr<Matcher> m = new_matcher();
    if (!m || !threads_arg(args[1], &m->threads)) return nullptr;
    const Ref path(Py_NewRef(args[0]));
    m->saved = open_saved(path.get());
    if (!m->saved) return nullptr;
    return make_index(module_state(module), std::move(m));
}

PyObject* index_from_bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (!check_nargs("index_from_bytes", nargs, 2)) return nullptr;
    std::unique_ptr<Matcher> m = new_matcher();
    if (!m || !threads_arg(args[1], &m->threads)) return nullptr;
    m->buffer.reset(Py_NewRef(args[0]));
    m->saved = saved_over_bytes(m->buffer.get());
    if (!m->saved) return nullptr;
    return make_index(module_state(module), std::move(m));
}

PyObject* build_index(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (!check_nargs("build_index", nargs, 3)) return nullptr;
    ModuleState* state = module_state(module);
    if (!Py_IS_TYPE(args[0], state->names_type)) {
        PyErr_SetString(PyExc_TypeError, "build_index() needs a Names object");
        return nullptr;
    }
    std::unique_ptr<Matcher> m;
    try {
        m = std::make_unique<Matcher>();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    m->names.reset(Py_NewRef(args[0]));
    const Ref tradeouts(Py_NewRef(args[1]));
    if (!int32_arg(args[2], "threads", &m->threads)) return nullptr;
    if (m->threads < 1) {
        PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
        return nullptr;
    }
    if (!build_core(*m, tradeouts.get())) return nullptr;
    PyObject* self = state->index_type->tp_alloc(state->index_type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<IndexObject*>(self)->core) std::unique_ptr<Matcher>(std::move(m));
    return self;
}

// ---- The module.

PyObject* cluster(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return cluster_scored(module_state(module)->pair_array_type, args, nargs);
}

PyObject* cluster_mean(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return cluster_mean_scored(module_state(module)->pair_array_type, args, nargs);
}

PyMethodDef module_methods[] = {
    {"names_from_sequence", fastcall(names_from_sequence), METH_FASTCALL,
     "names_from_sequence(names, label) -> Names: a list or tuple of str (None for a null)."},
    {"names_from_arrow_stream", fastcall(names_from_arrow_stream), METH_FASTCALL,
     "names_from_arrow_stream(capsule, label) -> Names: an Arrow string stream, read in place."},
    {"names_from_arrow_array", fastcall(names_from_arrow_array), METH_FASTCALL,
     "names_from_arrow_array(schema, array, label) -> Names: an Arrow string array, read in place."},
    {"names_from_codes", fastcall(names_from_codes), METH_FASTCALL,
     "names_from_codes(codes, categories, label) -> Names: int64 codes (-1 for a null) into a list of str."},
    {"build_index", fastcall(build_index), METH_FASTCALL,
     "build_index(names, tradeouts, threads) -> Index: the table and the index, built once."},
    {"explain", fastcall(explain), METH_FASTCALL,
     "explain(name1, name2, tradeouts) -> (words1, words2, found1, found2, needed1, needed2, match):\n"
     "the rule's account of one pair; each word is (word, how, other_position[, via]), how 0 same,\n"
     "1 tradeout, 2 not found."},
    {"distinct_words", fastcall(distinct_words), METH_FASTCALL,
     "distinct_words(items) -> list: the distinct words of the items, in the order they first appear."},
    {"word_positions", fastcall(word_positions), METH_FASTCALL,
     "word_positions(items) -> (before, last, words, splits): how often each word of the names of two\n"
     "words or more is written before their last word, and how often last; every distinct word of the\n"
     "items, in the order they first appear; and {word: [words]} linking the first part of a word split\n"
     "by a space (two adjacent words of a name of three or more that spell a word) with that word."},
    {"variant_table", fastcall(variant_table), METH_FASTCALL,
     "variant_table(items, max_edits, min_length, transpositions, threads) -> dict: each word of the items\n"
     "with the words within max_edits edits of it, in the order the words first appear."},
    {"normalize_sequence", fastcall(normalize_sequence), METH_FASTCALL,
     "normalize_sequence(names, drop, threads, label) -> list: each str normalised, None kept."},
    {"normalize_arrow_stream", fastcall(normalize_arrow_stream), METH_FASTCALL,
     "normalize_arrow_stream(capsule, drop, threads, label) -> (schema, array): Arrow capsules of the\n"
     "normalised strings of an Arrow string stream, read in place."},
    {"normalize_arrow_array", fastcall(normalize_arrow_array), METH_FASTCALL,
     "normalize_arrow_array(schema, array, drop, threads, label) -> (schema, array): the same for one array."},
    {"cluster", fastcall(cluster), METH_FASTCALL,
     "cluster(n, pairs, scores, max_size) -> (labels, unsplittable): single-linkage clusters of n names from\n"
     "scored pairs, each cut where it would pass max_size names; unsplittable lists (label, size) of the\n"
     "clusters joined by equal scores alone that stay larger."},
    {"cluster_mean", fastcall(cluster_mean), METH_FASTCALL,
     "cluster_mean(n, pairs, scores, min_score, unpaired, max_size) -> (labels, held_back): average-linkage\n"
     "clusters of n names: two join when the mean score of all pairs between them, a pair not given counting\n"
     "as unpaired, is at least min_score, and they hold at most max_size names together; held_back lists\n"
     "(label, size) of the clusters that a join was refused for max_size alone."},
    {"open_index", fastcall(open_index), METH_FASTCALL,
     "open_index(path, threads) -> Index: a saved index, mapped from the file at path (bytes)."},
    {"index_from_bytes", fastcall(index_from_bytes), METH_FASTCALL,
     "index_from_bytes(data, threads) -> Index: a saved index read in place from bytes."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) noexcept {
    ModuleState* state = module_state(module);
    const std::pair<PyType_Spec*, PyTypeObject**> types[] = {
        {&names_spec, &state->names_type},
        {&index_spec, &state->index_type},
        {&pair_array_spec, &state->pair_array_type},
        {&label_array_spec, &state->label_array_type},
    };
    for (const auto& [spec, slot] : types) {
        PyObject* type = PyType_FromModuleAndSpec(module, spec, nullptr);
        if (type == nullptr) return -1;
        *slot = reinterpret_cast<PyTypeObject*>(type);
        if (PyModule_AddType(module, *slot) < 0) return -1;
    }
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) noexcept {
    ModuleState* state = module_state(module);
    Py_VISIT(state->names_type);
    Py_VISIT(state->index_type);
    Py_VISIT(state->pair_array_type);
    Py_VISIT(state->label_array_type);
    return 0;
}

int module_clear(PyObject* module) noexcept {
    ModuleState* state = module_state(module);
    Py_CLEAR(state->names_type);
    Py_CLEAR(state->index_type);
    Py_CLEAR(state->pair_array_type);
    Py_CLEAR(state->label_array_type);
    return 0;
}

void module_free(void* module) noexcept { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "talvik._native",
    "The native core of talvik: names, the index over them, and pairs as int32.",
    sizeof(ModuleState),
    module_methods,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace
}  // namespace talvik::native

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&talvik::native::module_def); }
