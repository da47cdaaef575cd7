// What the parts of the talvik package's binding share: the support
// library's handles and calls, and notes that say where in a long input an
// exception was raised.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "talvik/binding/piece_plan.h"
#include "talvik/binding/ref.h"
#include "talvik/binding/released.h"
#include "talvik/binding/search_call.h"

namespace talvik::native {

using binding::Free;
using binding::PiecePlan;
using binding::Ref;
using binding::Released;

// Adds the note make() returns (a new str) to the exception being raised, so
// that a failure deep in a long input says where it was.
template <class MakeNote>
void add_note(MakeNote make) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    Ref text(make());
    Ref done(text ? PyObject_CallMethod(exc, "add_note", "O", text.get()) : nullptr);
    if (!done) PyErr_Clear();  // the original error matters more than its note
    PyErr_SetRaisedException(exc);
}
// The note "while reading names[12]".
void note_item(const char* what, Py_ssize_t index) noexcept;

// Whether a METH_FASTCALL function got its `expected` arguments; TypeError if not.
inline bool check_nargs(const char* function, Py_ssize_t nargs, Py_ssize_t expected) noexcept {
    if (nargs == expected) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", function, expected, nargs);
    return false;
}

// The message name of an argument ("names", "other_names"); null with an exception set.
inline const char* label(PyObject* what) noexcept {
    if (!PyUnicode_Check(what)) {
        PyErr_SetString(PyExc_TypeError, "the label must be a str");
        return nullptr;
    }
    return PyUnicode_AsUTF8(what);
}

}  // namespace talvik::native
