// The Talvik extension module: its definition and its multi-phase
// initialisation; the function it binds is made in function_object.cpp.
#include "common.h"

namespace talvik::py {

Constants constants;
PyObject* module_dict = nullptr;
PyObject* builtins_module = nullptr;

namespace {

// Process-wide: the module may live in one interpreter only, and every import
// in it yields the same module object.
int64_t main_interpreter_id = -1;
PyObject* recorded_module = nullptr;
bool constants_ready = false;

// Module initialisation

bool make_constants() noexcept {
    if (constants_ready) return true;
    struct Item {
        PyObject** slot;
        const char* text;
    } items[] = {
        {&constants.module_name, "Talvik"},
        {&constants.all_names, "all_names"},
        {&constants.word_to_matches, "word_to_matches"},
        {&constants.pair_to_names, "pair_to_names"},
        {&constants.num_threads, "num_threads"},
        {&constants.multiprocessing, "multiprocessing"},
        {&constants.collections, "collections"},
        {&constants.defaultdict, "defaultdict"},
        {&constants.cpu_count, "cpu_count"},
        {&constants.split, "split"},
        {&constants.encode, "encode"},
        {&constants.utf_8, "utf-8"},
        {&constants.parallel_find_matches, kFunctionName},
        {&constants.test_attr, "__test__"},
    };
    for (const Item& item : items) {
        if (*item.slot == nullptr && (*item.slot = PyUnicode_InternFromString(item.text)) == nullptr) return false;
        if (PyObject_Hash(*item.slot) == -1) return false;
    }
    if (constants.one == nullptr && (constants.one = PyLong_FromLong(1)) == nullptr) return false;
    if (!make_traceback_entries() || !make_function_type()) return false;
    constants_ready = true;
    return true;
}

// `import name`, taking a module that is already loaded as it is.
PyObject* import_module(PyObject* name) noexcept {
    PyObject* module = PyImport_GetModule(name);
    if (module != nullptr || PyErr_Occurred()) return module;
    return PyImport_Import(name);
}

// `from collections import defaultdict`
PyObject* import_defaultdict() noexcept {
    Ref collections(import_module(constants.collections));
    if (!collections) return nullptr;
    PyObject* value = PyObject_GetAttr(collections.get(), constants.defaultdict);
    if (value != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    Ref full(PyUnicode_FromFormat("%U.%U", constants.collections, constants.defaultdict));
    if (!full) return nullptr;
    value = PyImport_GetModule(full.get());
    if (value == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", constants.defaultdict);
    }
    return value;
}

// Copies a spec attribute into the module's namespace; a missing one is skipped.
bool copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to, bool none_too) noexcept {
    Ref value(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (!none_too && value.get() == Py_None) return true;
    return PyDict_SetItemString(dict, to, value.get()) == 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (main_interpreter_id == -1) {
        main_interpreter_id = id;
    } else if (id != main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (recorded_module != nullptr) return Py_NewRef(recorded_module);

    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!copy_spec_attr(spec, dict, "loader", "__loader__", true) ||
        !copy_spec_attr(spec, dict, "origin", "__file__", true) ||
        !copy_spec_attr(spec, dict, "parent", "__package__", true) ||
        !copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false)) {
        return nullptr;
    }
    return module.release();
}

// The steps after the module is recorded; false with an exception set, and
// `late` telling whether the failure came after the constants existed.
bool exec_steps(PyObject* module, bool* late) noexcept {
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED) < 0) return false;
#endif
    Ref dict = new_ref(PyModule_GetDict(module));
    Ref builtins(PyImport_AddModuleRef("builtins"));
    if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0) return false;

    const unsigned long major = (Py_Version >> 24) & 0xFF;
    const unsigned long minor = (Py_Version >> 16) & 0xFF;
    if (major != 3 || minor != 14) {
        char message[200];
        PyOS_snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                      3, 14, "Talvik", "does not match", static_cast<int>(major), static_cast<int>(minor));
        if (PyErr_WarnEx(nullptr, message, 1) < 0) return false;
    }

    if (!make_constants()) return false;
    *late = true;

    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = nullptr;
    if (PyDict_SetDefaultRef(modules, constants.module_name, module, &existing) < 0) return false;
    Py_XDECREF(existing);

    Ref multiprocessing(import_module(constants.multiprocessing));
    if (!multiprocessing || PyDict_SetItem(dict.get(), constants.multiprocessing, multiprocessing.get()) < 0) {
        return false;
    }
    Ref defaultdict(import_defaultdict());
    if (!defaultdict || PyDict_SetItem(dict.get(), constants.defaultdict, defaultdict.get()) < 0) return false;

    Ref function(make_parallel_find_matches(dict.get()));
    if (!function || PyDict_SetItem(dict.get(), constants.parallel_find_matches, function.get()) < 0) return false;

    Ref test(PyDict_New());
    if (!test || PyDict_SetItem(dict.get(), constants.test_attr, test.get()) < 0) return false;

    module_dict = dict.release();
    builtins_module = builtins.release();
    return true;
}

int module_exec(PyObject* module) {
    if (recorded_module != nullptr) {
        if (recorded_module == module) return 0;  // a reload, or a re-import of the same object
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'Talvik' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    recorded_module = Py_NewRef(module);
    bool late = false;
    if (exec_steps(module, &late)) return 0;
    if (late) add_traceback(TracebackEntry::init);
    Py_CLEAR(recorded_module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "Talvik",
    nullptr,  // __doc__ is None
    0,        // no per-module state: everything is process-wide
    nullptr,  // parallel_find_matches is made by the exec step
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace talvik::py

PyMODINIT_FUNC PyInit_Talvik(void) { return PyModuleDef_Init(&talvik::py::module_def); }
