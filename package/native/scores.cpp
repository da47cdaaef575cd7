#include "scores.h"

#include <cmath>
#include <cstring>

#include "pair_array.h"
#include "talvik/clusters.h"

namespace talvik::native {

bool HeldBuffer::read(PyObject* o, const char* codes, Py_ssize_t itemsize, int ndim, const char* what) noexcept {
    if (PyObject_GetBuffer(o, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous array of numbers", what);
        return false;
    }
    held_ = true;
    const char* format = view_.format != nullptr ? view_.format : "B";
    if (format[0] == '=' || format[0] == '<' || format[0] == '@') ++format;
    if (view_.itemsize != itemsize || std::strlen(format) != 1 || std::strchr(codes, format[0]) == nullptr ||
        view_.ndim != ndim) {
        PyErr_Format(PyExc_TypeError, "%s has the wrong type or shape", what);
        return false;
    }
    return true;
}

bool filter_args(PyObject* scores, PyObject* min_score, PyObject* blocks, Py_ssize_t names, HeldBuffer& held,
                 PairFilter* out) noexcept {
    const int keep = PyObject_IsTrue(scores);
    if (keep < 0) return false;
    out->scores = keep != 0;
    if (min_score != Py_None) {
        const double floor = PyFloat_AsDouble(min_score);
        if (floor == -1.0 && PyErr_Occurred()) return false;
        if (std::isnan(floor)) {
            PyErr_SetString(PyExc_ValueError, "min_score must be a number, not NaN");
            return false;
        }
        out->min_score = static_cast<float>(floor);
    }
    if (blocks == Py_None) return true;
    if (!held.read(blocks, "qlL", 8, 1, "blocks")) return false;
    if (held.items() != names) {
        PyErr_Format(PyExc_ValueError, "blocks must hold one code per name: %zd for %zd names", held.items(), names);
        return false;
    }
    out->blocks = {static_cast<const int64_t*>(held.data()), static_cast<size_t>(names)};
    return true;
}

PyObject* cluster_scored(PyTypeObject* column_type, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (!check_nargs("cluster", nargs, 4)) return nullptr;
    const long long n = PyLong_AsLongLong(args[0]);
    const long long max_size = PyLong_AsLongLong(args[3]);
    if (PyErr_Occurred()) return nullptr;
    if (n < 0 || n > INT32_MAX || max_size < 1) {
        PyErr_SetString(PyExc_ValueError, "cluster() needs 0 <= n < 2**31 and max_size >= 1");
        return nullptr;
    }
    HeldBuffer pairs, scores;
    if (!pairs.read(args[1], "i", 4, 2, "pairs") || !scores.read(args[2], "f", 4, 1, "scores")) return nullptr;
    const auto k = static_cast<size_t>(scores.items());
    if (static_cast<size_t>(pairs.items()) != 2 * k) {
        PyErr_SetString(PyExc_ValueError, "pairs and scores must be of one length");
        return nullptr;
    }
    const std::span<const NamePair> p(static_cast<const NamePair*>(pairs.data()), k);
    const std::span<const float> s(static_cast<const float*>(scores.data()), k);
    for (size_t i = 0; i < k; ++i) {
        if (p[i].name1 < 0 || p[i].name1 >= n || p[i].name2 < 0 || p[i].name2 >= n || std::isnan(s[i])) {
            PyErr_SetString(PyExc_ValueError, "pairs must index the names and scores must be numbers");
            return nullptr;
        }
    }
    Released released(nullptr);
    const ClusterResult r = released.run(
        0, [&]() noexcept { return cluster_pairs(static_cast<int32_t>(n), p, s, static_cast<int32_t>(max_size)); });
    if (r.out_of_memory) return PyErr_NoMemory();
    LabelBlock labels;
    if (!labels.reserve(static_cast<int64_t>(r.labels.size()))) return PyErr_NoMemory();
    if (!r.labels.empty()) std::memcpy(labels.data(), r.labels.data(), r.labels.size() * sizeof(int32_t));
    labels.added(static_cast<int64_t>(r.labels.size()));
    const Ref column(make_label_column(column_type, std::move(labels)));
    const Ref stuck(PyList_New(0));
    if (!column || !stuck) return nullptr;
    for (auto [root, size] : r.unsplittable) {
        const Ref item(Py_BuildValue("(ii)", root, size));
        if (!item || PyList_Append(stuck.get(), item.get()) < 0) return nullptr;
    }
    return PyTuple_Pack(2, column.get(), stuck.get());
}

}  // namespace talvik::native
