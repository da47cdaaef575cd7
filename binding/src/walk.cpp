#include "talvik/binding/walk.h"

namespace talvik::binding {

DictStep dict_next(PyObject* dict, Py_ssize_t size, Py_ssize_t* pos, Ref* key, Ref* value) noexcept {
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    DictStep step = DictStep::end;
    Py_BEGIN_CRITICAL_SECTION(dict);
    if (PyDict_GET_SIZE(dict) != size) {
        step = DictStep::changed;
    } else if (PyDict_Next(dict, pos, &k, &v)) {
        step = DictStep::item;
        Py_INCREF(k);
        Py_INCREF(v);
    }
    Py_END_CRITICAL_SECTION();
    key->reset(k);
    value->reset(v);
    return step;
}

}  // namespace talvik::binding
