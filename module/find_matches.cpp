// One call of parallel_find_matches once its arguments are bound: thread
// count, table, selection, encoding, the search without the interpreter, and
// the result list.
#include <malloc.h>

#include <algorithm>
#include <climits>
#include <string_view>
#include <vector>

#include "common.h"
#include "talvik/binding/released.h"
#include "talvik/binding/search_call.h"
#include "talvik/binding/walk.h"
#include "talvik/binding/words.h"
#include "talvik/pair_search.h"

namespace talvik::py {
namespace {

// A global name as the module's code sees it: module dict, then builtins.
PyObject* get_global(PyObject* name) noexcept {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(module_dict, name, &value) != 0) return value;  // found, or error
    value = PyObject_GetAttr(builtins_module, name);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

PyObject* call_cpu_count() noexcept {
    Ref multiprocessing(get_global(constants.multiprocessing));
    if (!multiprocessing) return nullptr;
    Ref cpu_count(PyObject_GetAttr(multiprocessing.get(), constants.cpu_count));
    if (!cpu_count) return nullptr;
    return PyObject_CallNoArgs(cpu_count.get());
}

// The number of workers asked for: cpu_count() for 0, max(1, cpu_count() - 1)
// for -1 (computed with the interpreter's own arithmetic), else as given.
bool thread_count(int32_t num_threads, int32_t* n_threads) noexcept {
    if (num_threads > 0) {
        *n_threads = num_threads;
        return true;
    }
    if (num_threads < -1) {
        PyErr_Format(PyExc_ValueError, "num_threads must be -1, 0 or a positive number of threads, got %d",
                     num_threads);
        return false;
    }
    Ref c(call_cpu_count());
    if (!c) return false;
    if (num_threads == 0) return as_int32(c.get(), n_threads);
    Ref d(PyNumber_Subtract(c.get(), constants.one));
    if (!d) return false;
    Ref greater(PyObject_RichCompare(d.get(), constants.one, Py_GT));
    if (!greater) return false;
    const int truth = PyObject_IsTrue(greater.get());
    if (truth < 0) return false;
    return as_int32(truth ? d.get() : constants.one, n_threads);
}

// The names of all_names with more than one word by str.split(), in order.
// The length is re-read at every step: another thread may shrink the list.
PyObject* select_names(PyObject* all_names) noexcept {
    if (all_names == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return nullptr;
    }
    Ref valid_names(PyList_New(0));
    if (!valid_names) return nullptr;
    for (Py_ssize_t i = 0; i < binding::sequence_size(all_names, true); ++i) {
        Ref name = binding::sequence_item(all_names, true, i);
        if (!name) return nullptr;
        // The method of an exact str cannot be replaced: its words are
        // counted in place, with no list of words made.
        if (PyUnicode_CheckExact(name.get())) {
            if (binding::str_has_two_words(name.get()) && PyList_Append(valid_names.get(), name.get()) < 0) {
                return nullptr;
            }
            continue;
        }
        Ref words(PyObject_CallMethodNoArgs(name.get(), constants.split));
        if (!words) return nullptr;
        const Py_ssize_t count = PyObject_Size(words.get());
        if (count < 0) return nullptr;
        if (count > 1 && PyList_Append(valid_names.get(), name.get()) < 0) return nullptr;
    }
    return valid_names.release();
}

// An ASCII exact str is its own UTF-8: its bytes are read in place.
bool is_ascii_str(PyObject* name) noexcept { return PyUnicode_CheckExact(name) && PyUnicode_IS_ASCII(name); }

// The UTF-8 bytes of every selected name. An ASCII exact str is read in place
// (the selected list keeps it alive); any other name is encoded once, all of
// them before any result is checked, and kept alive in `bytes_list`. A
// bytearray result is copied into bytes, so no other thread can resize the
// buffer under the search.
bool encode_names(PyObject* valid_names, PyObject* bytes_list, std::vector<std::string_view>& name_ptrs) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(valid_names);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyList_GET_ITEM(valid_names, i);
        Ref encoded(is_ascii_str(name) ? Py_NewRef(name) : call_encode(name));
        if (!encoded || PyList_Append(bytes_list, encoded.get()) < 0) return false;
    }
    try {
        name_ptrs.reserve(static_cast<size_t>(n));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyList_GET_ITEM(valid_names, i);
        if (is_ascii_str(name)) {
            name_ptrs.emplace_back(static_cast<const char*>(PyUnicode_DATA(name)),
                                   static_cast<size_t>(PyUnicode_GET_LENGTH(name)));
            continue;
        }
        PyObject* item = PyList_GET_ITEM(bytes_list, i);
        if (PyByteArray_Check(item)) {
            Ref copy(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(item), PyByteArray_GET_SIZE(item)));
            if (!copy || PyList_SetItem(bytes_list, i, copy.release()) < 0) return false;
            item = PyList_GET_ITEM(bytes_list, i);
        }
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(item, &data, &size) < 0) return false;  // not bytes
        name_ptrs.emplace_back(data, static_cast<size_t>(size));
    }
    return true;
}

// Strict UTF-8 decoding of one selected name, made once and shared by every
// pair that names it.
PyObject* decoded_name(std::vector<Ref>& cache, const std::vector<std::string_view>& name_ptrs, int32_t i) noexcept {
    Ref& slot = cache[static_cast<size_t>(i)];
    if (!slot) {
        const std::string_view b = name_ptrs[static_cast<size_t>(i)];
        slot.reset(PyUnicode_DecodeUTF8(b.data(), static_cast<Py_ssize_t>(b.size()), nullptr));
    }
    return slot.get();
}

// A list of n empty slots, or MemoryError. The free-threaded 3.14 build
// crashes in PyList_New when the item array cannot be had (the half-made
// list is freed with its fields unset), so an array of that size is asked
// for first: when memory runs out, it is this one that fails.
PyObject* new_result_list(Py_ssize_t n) noexcept {
    if (n > 0) {
        if (static_cast<size_t>(n) > PY_SSIZE_T_MAX / sizeof(PyObject*)) return PyErr_NoMemory();
        void* probe = PyMem_Malloc(static_cast<size_t>(n) * sizeof(PyObject*));
        if (!probe) return PyErr_NoMemory();
        PyMem_Free(probe);
    }
    return PyList_New(n);
}

// The pairs in row order, whatever the number of workers.
PyObject* build_results(const PairResult& found, const std::vector<std::string_view>& name_ptrs) noexcept {
    Ref results(new_result_list(static_cast<Py_ssize_t>(found.count())));
    if (!results) return nullptr;
    std::vector<Ref> cache;
    try {
        cache.resize(name_ptrs.size());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_ssize_t k = 0;
    bool failed = false;
    found.for_each([&](NamePair p) {
        // A long build still answers Ctrl-C.
        if (failed || ((k & 0xFFFF) == 0xFFFF && PyErr_CheckSignals() < 0)) {
            failed = true;
            return;
        }
        PyObject* name1 = decoded_name(cache, name_ptrs, p.name1);
        PyObject* name2 = name1 ? decoded_name(cache, name_ptrs, p.name2) : nullptr;
        PyObject* pair = name2 ? PyTuple_New(2) : nullptr;
        if (!pair) {
            failed = true;
            return;
        }
        PyTuple_SET_ITEM(pair, 0, Py_NewRef(name1));
        PyTuple_SET_ITEM(pair, 1, Py_NewRef(name2));
        // Two str can make no cycle; untracked, millions of pairs cost the
        // collector nothing, as it would untrack them itself once it looked.
        PyObject_GC_UnTrack(pair);
        PyList_SET_ITEM(results.get(), k++, pair);
    });
    if (failed) return nullptr;
    return results.release();
}

// A stopped or failed search gives its memory back to the system at once,
// not only to the allocator's free lists.
void release_free_memory() noexcept {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

// What one returned pair costs: its tuple, its slot in the list, and the
// engine's own copy until the list is built.
int64_t bytes_per_result_pair() noexcept {
    return static_cast<int64_t>(PyTuple_Type.tp_basicsize + 2 * PyTuple_Type.tp_itemsize) +
           static_cast<int64_t>(sizeof(PyObject*) + sizeof(NamePair));
}

// The search without the interpreter, which the calling thread attaches to
// again every 50 ms to run the signal handlers: an exception from one
// (KeyboardInterrupt) stops the workers. A result that could not fit in the
// memory left fails as soon as the pairs found pass what fits, not once the
// memory is gone. False with an exception set.
bool search(PairSearchContext& context, int32_t n_threads) noexcept {
    binding::Released released(nullptr);
    context.poll = released.poll();
    context.max_pairs = binding::pair_budget(static_cast<uint64_t>(bytes_per_result_pair()));
    released.run(0, [&]() noexcept { search_name_pairs(context, n_threads); });
    if (context.error == SearchError::none) return true;
    return binding::raise_search_error(context.error, "Failed to reallocate NamePairSet storage");
}

PyObject* run(PyObject* all_names, PyObject* word_to_matches, int32_t num_threads) noexcept {
    int32_t n_threads = 0;
    if (!thread_count(num_threads, &n_threads)) return nullptr;

    OwnedTable tt;
    if (!create_tradeout_table(word_to_matches, tt)) return nullptr;

    Ref valid_names(select_names(all_names));
    if (!valid_names) return nullptr;
    if (PyList_GET_SIZE(valid_names.get()) > INT32_MAX) return PyErr_NoMemory();  // beyond a row index
    const auto n_names = static_cast<int32_t>(PyList_GET_SIZE(valid_names.get()));

    Ref bytes_list(PyList_New(0));
    if (!bytes_list) return nullptr;
    std::vector<std::string_view> name_ptrs;
    if (!encode_names(valid_names.get(), bytes_list.get(), name_ptrs)) return nullptr;

    if (n_threads < 0) return PyErr_NoMemory();  // a negative cpu_count() asks for no room at all
    PairSearchContext context;
    context.tt = tt.table.get();
    context.name_ptrs = name_ptrs;
    context.n_names = n_names;
    if (n_names > 0 && !search(context, n_threads)) return nullptr;
    Ref results(build_results(context.thread_results, name_ptrs));
    // A Ctrl-C that came after the last poll still stops this call, rather
    // than surfacing as a KeyboardInterrupt once it has returned.
    if (!results || PyErr_CheckSignals() < 0) return nullptr;
    return results.release();
}

}  // namespace

PyObject* find_matches(PyObject* all_names, PyObject* word_to_matches, int32_t num_threads) noexcept {
    PyObject* results = run(all_names, word_to_matches, num_threads);
    if (results == nullptr) {
        release_free_memory();  // everything the call made is gone by now
        add_traceback(TracebackEntry::parallel_find_matches);
    }
    return results;
}

}  // namespace talvik::py
