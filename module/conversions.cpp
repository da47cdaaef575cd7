// Conversions of interpreter objects the binding needs: UTF-8 encoding and
// the num_threads integer.
#include <climits>

#include "common.h"

namespace talvik::py {

PyObject* call_encode(PyObject* o) noexcept {
    if (PyUnicode_CheckExact(o)) return PyUnicode_AsUTF8String(o);
    PyObject* args[] = {o, constants.utf_8};
    return PyObject_VectorcallMethod(constants.encode, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

namespace {

// An int's value as int32: OverflowError outside the range.
bool int_value_as_int32(PyObject* v, int32_t* out) noexcept {
    const long value = PyLong_AsLong(v);  // 64-bit here; its own error beyond that
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < INT32_MIN || value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int32_t>(value);
    return true;
}

}  // namespace

bool as_int32(PyObject* o, int32_t* out) noexcept {
    if (PyLong_Check(o)) return int_value_as_int32(o, out);
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    Ref result(nb && nb->nb_int ? nb->nb_int(o) : nullptr);
    if (!result) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    if (!PyLong_CheckExact(result.get())) {
        if (!PyLong_Check(result.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result.get())->tp_name);
            return false;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                             "strict subclass of int is deprecated, and may be removed in a future version of "
                             "Python.",
                             Py_TYPE(result.get())->tp_name) < 0) {
            return false;
        }
    }
    return int_value_as_int32(result.get(), out);
}

}  // namespace talvik::py
