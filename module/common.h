// What the parts of the Talvik binding share: the interned constants,
// traceback entries, UTF-8 encoding and the table build.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "talvik/binding/ref.h"
#include "talvik/tradeout_table.h"

namespace talvik::py {

using binding::new_ref;
using binding::Ref;

// Made once per process by the module's exec step and never released.
// Identifiers are interned so keyword matching can compare by identity.
struct Constants {
    PyObject* module_name;  // "Talvik"
    PyObject* all_names;
    PyObject* word_to_matches;
    PyObject* pair_to_names;
    PyObject* num_threads;
    PyObject* multiprocessing;
    PyObject* collections;
    PyObject* defaultdict;
    PyObject* cpu_count;
    PyObject* split;
    PyObject* encode;
    PyObject* utf_8;
    PyObject* parallel_find_matches;
    PyObject* test_attr;      // "__test__"
    PyObject* one;            // the int 1
};
extern Constants constants;

// The module's dictionary and the builtins module, once the exec step has run.
extern PyObject* module_dict;
extern PyObject* builtins_module;

// Functions that add an entry of their own to a traceback (file "Talvik").
enum class TracebackEntry {
    parallel_find_matches,  // "Talvik.parallel_find_matches"
    create_tradeout_table,  // "Talvik.create_tradeout_table"
    init,                   // "init Talvik"
};

// Adds the entry to the pending exception's traceback.
void add_traceback(TracebackEntry entry) noexcept;
// Makes the entries' code objects, once per process; false with an exception set.
bool make_traceback_entries() noexcept;

// parallel_find_matches' name, and its parameters in order.
constexpr const char kFunctionName[] = "parallel_find_matches";
constexpr int kParams = 4;

// Binds a vectorcall's arguments into `values`, converts num_threads and
// checks the types; false with an exception set.
bool bind_arguments(Ref (&values)[kParams], int32_t* num_threads, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames) noexcept;

// The type of the function object, made once per process; false with an
// exception set.
bool make_function_type() noexcept;
// A new parallel_find_matches bound to `globals`, or null with an exception set.
PyObject* make_parallel_find_matches(PyObject* globals) noexcept;

// `o.encode("utf-8")`; exact str takes the direct route, which behaves the same.
PyObject* call_encode(PyObject* o) noexcept;

// The `num_threads` conversion: int (bool included) by value, anything else
// through its type's __int__. False with an exception set on failure.
bool as_int32(PyObject* o, int32_t* out) noexcept;

// A tradeout table and the exact str objects whose bytes it borrows.
struct OwnedTable {
    TradeoutTablePtr table;
    std::vector<Ref> borrowed;
};

// Builds the tradeout table from `word_to_matches` (an exact dict or None);
// false with an exception set.
bool create_tradeout_table(PyObject* word_to_matches, OwnedTable& out) noexcept;

// The whole call once its arguments are bound: a new list of 2-tuples, or
// null with an exception set.
PyObject* find_matches(PyObject* all_names, PyObject* word_to_matches, int32_t num_threads) noexcept;

}  // namespace talvik::py
