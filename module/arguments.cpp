// The argument binding of parallel_find_matches: positions and keywords
// into four slots, the num_threads conversion, and the type checks, each
// failure with the interpreter's own wording.
#include "common.h"

namespace talvik::py {
namespace {

constexpr int kRequired = 3;

PyObject* param_name(int i) noexcept {
    PyObject* names[kParams] = {constants.all_names, constants.word_to_matches, constants.pair_to_names,
                                constants.num_threads};
    return names[i];
}

void argument_count_error(Py_ssize_t given) noexcept {
    const bool too_few = given < kRequired;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", kFunctionName,
                 too_few ? "at least" : "at most", static_cast<Py_ssize_t>(too_few ? kRequired : kParams), "s",
                 given);
}

int find_by_identity(PyObject* name, int begin, int end) noexcept {
    for (int i = begin; i < end; ++i) {
        if (name == param_name(i)) return i;
    }
    return -1;
}

// Exact str by hash and characters, a str subclass by ==. -2 on error.
int find_by_content(PyObject* name, int begin, int end) noexcept {
    if (PyUnicode_CheckExact(name)) {
        const Py_hash_t h = PyObject_Hash(name);
        if (h == -1) return -2;
        for (int i = begin; i < end; ++i) {
            if (PyObject_Hash(param_name(i)) == h && PyUnicode_Compare(name, param_name(i)) == 0) return i;
        }
        return -1;
    }
    for (int i = begin; i < end; ++i) {
        const int eq = PyObject_RichCompareBool(name, param_name(i), Py_EQ);
        if (eq < 0) return -2;
        if (eq) return i;
    }
    return -1;
}

bool bind_keywords(Ref (&values)[kParams], PyObject* const* args, Py_ssize_t n, PyObject* kwnames) noexcept {
    const int first = static_cast<int>(n);
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        int index = find_by_identity(name, first, kParams);
        if (index == -1) {
            if (!PyUnicode_Check(name)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", kFunctionName);
                return false;
            }
            index = find_by_content(name, first, kParams);
            if (index == -2) return false;
        }
        if (index >= 0) {
            values[index] = new_ref(args[n + k]);
            continue;
        }
        int earlier = find_by_identity(name, 0, first);
        if (earlier == -1) earlier = find_by_content(name, 0, first);
        if (earlier == -2) return false;
        if (earlier >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", kFunctionName, name);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", kFunctionName, name);
        }
        return false;
    }
    // The count reported is the position of the first missing required parameter.
    for (Py_ssize_t i = n; i < kRequired; ++i) {
        if (!values[i]) {
            argument_count_error(i);
            return false;
        }
    }
    return true;
}

bool check_type(PyObject* arg, PyTypeObject* type, int param, const char* expected) noexcept {
    if (arg == Py_None || Py_TYPE(arg) == type) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 PyUnicode_AsUTF8(param_name(param)), expected, Py_TYPE(arg)->tp_name);
    return false;
}

}  // namespace

bool bind_arguments(Ref (&values)[kParams], int32_t* num_threads, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames) noexcept {
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    const bool keywords = kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0;
    if (keywords ? n > kParams : (n != kParams && n != kRequired)) {
        argument_count_error(n);
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) values[i] = new_ref(args[i]);
    if (keywords && !bind_keywords(values, args, n, kwnames)) return false;

    *num_threads = 0;
    if (values[3] && !as_int32(values[3].get(), num_threads)) return false;
    return check_type(values[0].get(), &PyList_Type, 0, "list") &&
           check_type(values[1].get(), &PyDict_Type, 1, "dict") &&
           check_type(values[2].get(), &PyDict_Type, 2, "dict");
}

}  // namespace talvik::py
