// Traceback entries named after the module's own functions (file "Talvik"),
// added to an exception on its way out.
#include "common.h"

#include <frameobject.h>  // PyFrame_New

namespace talvik::py {
namespace {

// Code objects behind the entries, made once per process.
PyObject* tb_find_matches = nullptr;
PyObject* tb_create_table = nullptr;
PyObject* tb_init = nullptr;

void add_traceback_with(PyObject* code) noexcept {
    if (code == nullptr || !PyErr_Occurred()) return;
    PyObject* exc = PyErr_GetRaisedException();
    Ref globals = module_dict ? new_ref(module_dict) : Ref(PyDict_New());
    PyFrameObject* frame =
        globals ? PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals.get(), nullptr)
                : nullptr;
    PyErr_SetRaisedException(exc);  // drops any error from making the frame
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace

void add_traceback(TracebackEntry entry) noexcept {
    switch (entry) {
        case TracebackEntry::parallel_find_matches: return add_traceback_with(tb_find_matches);
        case TracebackEntry::create_tradeout_table: return add_traceback_with(tb_create_table);
        case TracebackEntry::init: return add_traceback_with(tb_init);
    }
}

bool make_traceback_entries() noexcept {
    struct Code {
        PyObject** slot;
        const char* name;
    } codes[] = {
        {&tb_find_matches, "Talvik.parallel_find_matches"},
        {&tb_create_table, "Talvik.create_tradeout_table"},
        {&tb_init, "init Talvik"},
    };
    for (const Code& c : codes) {
        if (*c.slot == nullptr &&
            (*c.slot = reinterpret_cast<PyObject*>(PyCode_NewEmpty("Talvik", c.name, 1))) == nullptr) {
            return false;
        }
    }
    return true;
}

}  // namespace talvik::py
