#include "pair_array.h"

#include <algorithm>
#include <new>

namespace talvik::native {
namespace {

struct PairArrayObject {
    PyObject_HEAD
    std::unique_ptr<NamePair, Free> pairs;  // at least one pair of room, so never null
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};

PairArrayObject* as_pairs(PyObject* self) noexcept { return reinterpret_cast<PairArrayObject*>(self); }

void pair_array_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    as_pairs(self)->pairs.~unique_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

// Writable, C-contiguous int32 of shape (k, 2) for consumers that ask for a
// shape; plain bytes for those that do not.
int pair_array_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    PairArrayObject* o = as_pairs(self);
    const Py_ssize_t bytes = o->shape[0] * static_cast<Py_ssize_t>(sizeof(NamePair));
    if (PyBuffer_FillInfo(view, self, o->pairs.get(), bytes, 0, flags) < 0) return -1;
    if ((flags & PyBUF_ND) == PyBUF_ND) {
        view->ndim = 2;
        view->itemsize = sizeof(int32_t);
        view->shape = o->shape;
        view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? o->strides : nullptr;
        if (flags & PyBUF_FORMAT) view->format = const_cast<char*>("i");
    }
    return 0;
}

Py_ssize_t pair_array_length(PyObject* self) noexcept { return as_pairs(self)->shape[0]; }

PyType_Slot pair_array_slots[] = {
    {Py_tp_doc, const_cast<char*>("Pairs of name indices, (k, 2) int32 through the buffer protocol.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(pair_array_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(pair_array_getbuffer)},
    {Py_sq_length, reinterpret_cast<void*>(pair_array_length)},
    {0, nullptr},
};

}  // namespace

bool PairBlock::reserve(int64_t total) noexcept {
    if (total <= capacity_ && data_) return true;
    const int64_t grown = std::max({total, capacity_ + capacity_ / 2, int64_t{1}});
    if (grown > PY_SSIZE_T_MAX / static_cast<int64_t>(sizeof(NamePair))) return false;
    void* p = std::realloc(data_.get(), static_cast<size_t>(grown) * sizeof(NamePair));
    if (p == nullptr) return false;
    (void)data_.release();  // realloc freed or kept it
    data_.reset(static_cast<NamePair*>(p));
    capacity_ = grown;
    return true;
}

void PairBlock::shrink() noexcept {
    const int64_t keep = std::max<int64_t>(size_, 1);
    if (!data_ || keep >= capacity_) return;
    void* p = std::realloc(data_.get(), static_cast<size_t>(keep) * sizeof(NamePair));
    if (p == nullptr) return;
    (void)data_.release();
    data_.reset(static_cast<NamePair*>(p));
    capacity_ = keep;
}

PyType_Spec pair_array_spec = {
    "talvik._native.PairArray",
    sizeof(PairArrayObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    pair_array_slots,
};

PyObject* make_pair_array(PyTypeObject* type, PairBlock&& block) noexcept {
    if (!block.reserve(1)) return PyErr_NoMemory();  // a buffer always has an address
    block.shrink();
    const int64_t count = block.size();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    PairArrayObject* o = as_pairs(self);
    new (&o->pairs) std::unique_ptr<NamePair, Free>(block.take());
    o->shape[0] = static_cast<Py_ssize_t>(count);
    o->shape[1] = 2;
    o->strides[0] = sizeof(NamePair);
    o->strides[1] = sizeof(int32_t);
    return self;
}

}  // namespace talvik::native
