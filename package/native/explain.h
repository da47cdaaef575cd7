// explain(): the engine's word-by-word account of the rule on one pair.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace talvik::native {

// explain(name1, name2, tradeouts) -> (words1, words2, found1, found2,
// needed1, needed2, match); each words is a tuple of (word, how, other
// position, via) with how 0 same, 1 tradeout, 2 not found. Null with an
// exception set.
PyObject* explain(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace talvik::native
