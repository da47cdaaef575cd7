// What a search call keeps (its scores, a score floor, blocks that must
// agree), read from Python, and clusters from scored pairs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>

#include "native.h"
#include "search.h"

namespace talvik::native {

// A read-only buffer of numbers held for one call: the caller's object stays
// alive and its memory in place until the call ends.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // A C-contiguous buffer of `itemsize`-byte items of a struct code in
    // `codes`, of `ndim` dimensions; false with an exception naming `what`.
    bool read(PyObject* o, const char* codes, Py_ssize_t itemsize, int ndim, const char* what) noexcept;
    const void* data() const noexcept { return view_.buf; }
    Py_ssize_t items() const noexcept { return held_ ? view_.len / view_.itemsize : 0; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// (scores, min_score, blocks) of a search call: a bool, None or a number,
// None or an int64 buffer holding `names` codes. False with an exception set.
bool filter_args(PyObject* scores, PyObject* min_score, PyObject* blocks, Py_ssize_t names, HeldBuffer& held,
                 PairFilter* out) noexcept;

// cluster(n, pairs, scores, max_size) -> (labels, unsplittable): see
// talvik/clusters.h; `column_type` makes the labels.
PyObject* cluster_scored(PyTypeObject* column_type, PyObject* const* args, Py_ssize_t nargs) noexcept;

// cluster_mean(n, pairs, scores, min_score, unpaired, max_size) -> (labels,
// held_back): average linkage, cluster_by_mean in talvik/clusters.h.
PyObject* cluster_mean_scored(PyTypeObject* column_type, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace talvik::native
