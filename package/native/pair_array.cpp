#include "pair_array.h"

#include <new>

namespace talvik::native {
namespace {

struct ArrayObject {
    PyObject_HEAD
    std::unique_ptr<char, Free> items;  // at least one item of room, so never null
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
    int ndim;
    const char* format;  // one item's struct code
};

ArrayObject* as_array(PyObject* self) noexcept { return reinterpret_cast<ArrayObject*>(self); }

void array_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    as_array(self)->items.~unique_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

// Writable and C-contiguous, with its shape for consumers that ask for one;
// plain bytes for those that do not.
int array_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    ArrayObject* o = as_array(self);
    const Py_ssize_t bytes = o->shape[0] * o->strides[0];
    if (PyBuffer_FillInfo(view, self, o->items.get(), bytes, 0, flags) < 0) return -1;
    if ((flags & PyBUF_ND) == PyBUF_ND) {
        view->ndim = o->ndim;
        view->itemsize = o->strides[o->ndim - 1];
        view->shape = o->shape;
        view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? o->strides : nullptr;
        if (flags & PyBUF_FORMAT) view->format = const_cast<char*>(o->format);
    }
    return 0;
}

Py_ssize_t array_length(PyObject* self) noexcept { return as_array(self)->shape[0]; }

PyType_Slot array_slots[] = {
    {Py_tp_doc, const_cast<char*>("Pairs of name indices as (k, 2) int32, or a column of float32 or int32, "
                                  "through the buffer protocol.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(array_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(array_getbuffer)},
    {Py_sq_length, reinterpret_cast<void*>(array_length)},
    {0, nullptr},
};

// Rows of `columns` items of type T each.
template <class Item, class T>
PyObject* make_array(PyTypeObject* type, Block<Item>&& block, int ndim, const char* format) noexcept {
    if (!block.reserve(1)) return PyErr_NoMemory();  // a buffer always has an address
    block.shrink();
    const int64_t count = block.size();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    ArrayObject* o = as_array(self);
    new (&o->items) std::unique_ptr<char, Free>(reinterpret_cast<char*>(block.take().release()));
    o->shape[0] = static_cast<Py_ssize_t>(count);
    o->shape[1] = static_cast<Py_ssize_t>(sizeof(Item) / sizeof(T));
    o->strides[0] = sizeof(Item);
    o->strides[1] = sizeof(T);
    o->ndim = ndim;
    o->format = format;
    return self;
}

}  // namespace

PyType_Spec pair_array_spec = {
    "talvik._native.PairArray",
    sizeof(ArrayObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    array_slots,
};

PyObject* make_pair_array(PyTypeObject* type, PairBlock&& block) noexcept {
    return make_array<NamePair, int32_t>(type, std::move(block), 2, "i");
}

PyObject* make_score_array(PyTypeObject* type, ScoreBlock&& block) noexcept {
    return make_array<float, float>(type, std::move(block), 1, "f");
}

PyObject* make_label_column(PyTypeObject* type, LabelBlock&& block) noexcept {
    return make_array<int32_t, int32_t>(type, std::move(block), 1, "i");
}

}  // namespace talvik::native
