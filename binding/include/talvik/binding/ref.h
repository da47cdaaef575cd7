// Small owning handles for what the bindings hold: interpreter references
// and malloc'd blocks.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <memory>

namespace talvik::binding {

struct DecRef {
    void operator()(PyObject* o) const noexcept { Py_DECREF(o); }
};
// A strong reference, released on every path out of its scope.
using Ref = std::unique_ptr<PyObject, DecRef>;

// A new strong reference to `o`.
inline Ref new_ref(PyObject* o) noexcept { return Ref(Py_NewRef(o)); }

struct Free {
    void operator()(void* p) const noexcept { std::free(p); }
};

}  // namespace talvik::binding
