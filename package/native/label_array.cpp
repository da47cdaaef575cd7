#include "label_array.h"

#include <memory>
#include <new>

namespace talvik::native {
namespace {

struct LabelArrayObject {
    PyObject_HEAD
    std::unique_ptr<PairResult> result;
    Py_ssize_t shape[1];
    Py_ssize_t strides[1];
};

LabelArrayObject* as_labels(PyObject* self) noexcept { return reinterpret_cast<LabelArrayObject*>(self); }

void label_array_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    as_labels(self)->result.~unique_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

// A buffer needs an address even when there are no names.
int32_t no_labels = 0;

int label_array_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    LabelArrayObject* o = as_labels(self);
    const std::vector<int32_t>& labels = o->result->labels();
    // The labels live in a heap block of the result, which nothing else reads
    // once made: handing it out writable is safe.
    void* data = labels.empty() ? &no_labels : const_cast<int32_t*>(labels.data());
    const auto bytes = static_cast<Py_ssize_t>(labels.size() * sizeof(int32_t));
    if (PyBuffer_FillInfo(view, self, data, bytes, 0, flags) < 0) return -1;
    if ((flags & PyBUF_ND) == PyBUF_ND) {
        view->itemsize = sizeof(int32_t);
        view->shape = o->shape;
        view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? o->strides : nullptr;
        if (flags & PyBUF_FORMAT) view->format = const_cast<char*>("i");
    }
    return 0;
}

Py_ssize_t label_array_length(PyObject* self) noexcept { return as_labels(self)->shape[0]; }

PyType_Slot label_array_slots[] = {
    {Py_tp_doc, const_cast<char*>("Per name, the smallest index of its group, int32 through the buffer protocol.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(label_array_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(label_array_getbuffer)},
    {Py_sq_length, reinterpret_cast<void*>(label_array_length)},
    {0, nullptr},
};

}  // namespace

PyType_Spec label_array_spec = {
    "talvik._native.LabelArray",
    sizeof(LabelArrayObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    label_array_slots,
};

PyObject* make_label_array(PyTypeObject* type, PairResult&& result) noexcept {
    std::unique_ptr<PairResult> owned;
    try {
        owned = std::make_unique<PairResult>(std::move(result));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    LabelArrayObject* o = as_labels(self);
    o->shape[0] = static_cast<Py_ssize_t>(owned->labels().size());
    o->strides[0] = sizeof(int32_t);
    new (&o->result) std::unique_ptr<PairResult>(std::move(owned));
    return self;
}

}  // namespace talvik::native
