// Group labels as a 1-D int32 buffer that NumPy wraps without a copy: the
// object keeps the engine's result whose labels it shows.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "talvik/find_pairs.h"

namespace talvik::native {

extern PyType_Spec label_array_spec;

// A new LabelArray owning `result` (a groups search); null with an exception set.
PyObject* make_label_array(PyTypeObject* type, PairResult&& result) noexcept;

}  // namespace talvik::native
