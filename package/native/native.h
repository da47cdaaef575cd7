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

}  // namespace talvik::native
