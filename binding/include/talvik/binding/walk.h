// Reading the caller's containers while other threads may change them: a
// dict one step at a time under its own lock, a list or tuple item by item
// with a reference of our own, so that nothing is read past its end.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "talvik/binding/ref.h"

namespace talvik::binding {

enum class DictStep {
    item,     // `key` and `value` hold the next pair
    end,      // no pair is left
    changed,  // the dict's size is no longer `size`; nothing is set
};

// One step of PyDict_Next under the dict's critical section. The pair is
// handed out with references of its own, to be processed outside the lock
// (processing may run arbitrary code). Sets no exception.
DictStep dict_next(PyObject* dict, Py_ssize_t size, Py_ssize_t* pos, Ref* key, Ref* value) noexcept;

// The current length of an exact or derived list or tuple (re-read at each
// step: a list may shrink meanwhile).
inline Py_ssize_t sequence_size(PyObject* seq, bool is_list) noexcept {
    return is_list ? PyList_Size(seq) : PyTuple_GET_SIZE(seq);
}

// Item i with a reference of its own; null with IndexError set when a list
// shrank below i meanwhile.
inline Ref sequence_item(PyObject* seq, bool is_list, Py_ssize_t i) noexcept {
    return Ref(is_list ? PyList_GetItemRef(seq, i) : Py_NewRef(PyTuple_GET_ITEM(seq, i)));
}

}  // namespace talvik::binding
