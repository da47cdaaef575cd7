// Owning handles for Python objects and for malloc'd blocks, shared by every
// part of the binding.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <memory>

namespace talvik::native {

struct DecRef {
    void operator()(PyObject* o) const noexcept { Py_DECREF(o); }
};
// A strong reference, released on every path out of its scope.
using Ref = std::unique_ptr<PyObject, DecRef>;

struct Free {
    void operator()(void* p) const noexcept { std::free(p); }
};

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
