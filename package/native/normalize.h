// talvik.normalize natively: names read once (a list or tuple, or an Arrow
// string array in place), normalised by the engine with the interpreter
// released, and handed back as a list of str or as a new Arrow array.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace talvik::native {

// normalize_sequence(names, drop, threads, label) -> list of str or None.
PyObject* normalize_sequence(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;
// normalize_arrow_stream(capsule, drop, threads, label) -> (schema, array)
// capsules of one string or large_string array.
PyObject* normalize_arrow_stream(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;
// normalize_arrow_array(schema, array, drop, threads, label) -> (schema, array).
PyObject* normalize_arrow_array(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace talvik::native
