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

namespace {

// The scored pairs of n names, checked: the part both clusterings read.
struct ScoredPairs {
    HeldBuffer pairs, scores;
    std::span<const NamePair> p;
    std::span<const float> s;

    bool read(PyObject* pairs_arg, PyObject* scores_arg, long long n) noexcept {
        if (!pairs.read(pairs_arg, "i", 4, 2, "pairs") || !scores.read(scores_arg, "f", 4, 1, "scores")) return false;
        const auto k = static_cast<size_t>(scores.items());
        if (static_cast<size_t>(pairs.items()) != 2 * k) {
            PyErr_SetString(PyExc_ValueError, "pairs and scores must be of one length");
            return false;
        }
        p = {static_cast<const NamePair*>(pairs.data()), k};
        s = {static_cast<const float*>(scores.data()), k};
        for (size_t i = 0; i < k; ++i) {
            if (p[i].name1 < 0 || p[i].name1 >= n || p[i].name2 < 0 || p[i].name2 >= n || std::isnan(s[i])) {
                PyErr_SetString(PyExc_ValueError, "pairs must index the names and scores must be numbers");
                return false;
            }
        }
        return true;
    }
};

bool cluster_sizes(const char* name, PyObject* n_arg, PyObject* max_arg, long long* n, long long* max_size) noexcept {
    *n = PyLong_AsLongLong(n_arg);
    *max_size = PyLong_AsLongLong(max_arg);
    if (PyErr_Occurred()) return false;
    if (*n < 0 || *n > INT32_MAX || *max_size < 1) {
        PyErr_Format(PyExc_ValueError, "%s() needs 0 <= n < 2**31 and max_size >= 1", name);
        return false;
    }
    return true;
}

// (labels, [(label, size), ...]) of a clustering.
PyObject* cluster_result(PyTypeObject* column_type, const ClusterResult& r) noexcept {
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

bool number_arg(PyObject* o, const char* what, float* out) noexcept {
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    if (std::isnan(v)) {
        PyErr_Format(PyExc_ValueError, "%s must be a number, not NaN", what);
        return false;
    }
    *out = static_cast<float>(v);
    return true;
}

}  // namespace

PyObject* cluster_scored(PyTypeObject* column_type, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (!check_nargs("cluster", nargs, 4)) return nullptr;
    long long n = 0, max_size = 0;
    if (!cluster_sizes("cluster", args[0], args[3], &n, &max_size)) return nullptr;
    ScoredPairs in;
    if (!in.read(args[1], args[2], n)) return nullptr;
    Released released(nullptr);
    const ClusterResult r = released.run(0, [&]() noexcept {
        return cluster_pairs(static_cast<int32_t>(n), in.p, in.s, static_cast<int32_t>(max_size));
    });
    return cluster_result(column_type, r);
}

PyObject* cluster_mean_scored(PyTypeObject* column_type, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (!check_nargs("cluster_mean", nargs, 6)) return nullptr;
    long long n = 0, max_size = 0;
    float min_score = 0.0f, unpaired = 0.0f;
    if (!cluster_sizes("cluster_mean", args[0], args[5], &n, &max_size)) return nullptr;
    if (!number_arg(args[3], "min_score", &min_score) || !number_arg(args[4], "unpaired", &unpaired)) return nullptr;
    ScoredPairs in;
    if (!in.read(args[1], args[2], n)) return nullptr;
    Released released(nullptr);
    const ClusterResult r = released.run(0, [&]() noexcept {
        return cluster_by_mean(static_cast<int32_t>(n), in.p, in.s, min_score, unpaired, static_cast<int32_t>(max_size));
    });
    return cluster_result(column_type, r);
}

}  // namespace talvik::native
