// talvik.variants' native half: the vocabulary of a list of names, its
// spelling variants found by the engine, as a dict of str -> list of str.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace talvik::native {

// variant_table(items, max_edits, min_length, transpositions, threads).
PyObject* variant_table(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

// distinct_words(items) -> list: the distinct words of the items, cut as the
// rule cuts names, in the order they first appear.
PyObject* distinct_words(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace talvik::native
