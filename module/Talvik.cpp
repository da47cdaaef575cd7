// The Talvik extension module: its definition, its multi-phase initialisation
// and the argument binding of parallel_find_matches.
#include <climits>
#include <cstddef>

#include "common.h"

#include <frameobject.h>  // PyFrame_New, for traceback entries

namespace talvik::py {

Constants constants;
PyObject* module_dict = nullptr;
PyObject* builtins_module = nullptr;

namespace {

constexpr const char kFunctionDoc[] =
    "\n    Find all valid name matches in parallel.\n"
    "    Returns: list of tuples (name1, name2) where name1 < name2 lexicographically\n    ";
constexpr const char kFunctionName[] = "parallel_find_matches";

// Process-wide: the module may live in one interpreter only, and every import
// in it yields the same module object.
int64_t main_interpreter_id = -1;
PyObject* recorded_module = nullptr;
bool constants_ready = false;

// Code objects behind the traceback entries.
PyObject* tb_find_matches = nullptr;
PyObject* tb_create_table = nullptr;
PyObject* tb_init = nullptr;
PyObject* function_code = nullptr;
PyTypeObject* function_type = nullptr;

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

PyObject* call_encode(PyObject* o) noexcept {
    if (PyUnicode_CheckExact(o)) return PyUnicode_AsUTF8String(o);
    PyObject* args[] = {o, constants.utf_8};
    return PyObject_VectorcallMethod(constants.encode, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

namespace {

// An int's value as int32: OverflowError outside the range.
bool int_value_as_int32(PyObject* v, int32_t* out) noexcept {
    const long value = PyLong_AsLong(v);  // 64-bit here; its own error beyond that
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < INT32_MIN || value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int32_t>(value);
    return true;
}

}  // namespace

bool as_int32(PyObject* o, int32_t* out) noexcept {
    if (PyLong_Check(o)) return int_value_as_int32(o, out);
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    Ref result(nb && nb->nb_int ? nb->nb_int(o) : nullptr);
    if (!result) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    if (!PyLong_CheckExact(result.get())) {
        if (!PyLong_Check(result.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result.get())->tp_name);
            return false;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                             "strict subclass of int is deprecated, and may be removed in a future version of "
                             "Python.",
                             Py_TYPE(result.get())->tp_name) < 0) {
            return false;
        }
    }
    return int_value_as_int32(result.get(), out);
}

namespace {

// ---------------------------------------------------------------------------
// Argument binding

constexpr int kParams = 4;
constexpr int kRequired = 3;

PyObject* param_name(int i) noexcept {
    PyObject* names[kParams] = {constants.all_names, constants.word_to_matches, constants.pair_to_names,
                                constants.num_threads};
    return names[i];
}

void argument_count_error(Py_ssize_t given) noexcept {
    const bool too_few = given < kRequired;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", kFunctionName,
                 too_few ? "at least" : "at most", static_cast<Py_ssize_t>(too_few ? kRequired : kParams), "s",
                 given);
}

int find_by_identity(PyObject* name, int begin, int end) noexcept {
    for (int i = begin; i < end; ++i) {
        if (name == param_name(i)) return i;
    }
    return -1;
}

// Exact str by hash and characters, a str subclass by ==. -2 on error.
int find_by_content(PyObject* name, int begin, int end) noexcept {
    if (PyUnicode_CheckExact(name)) {
        const Py_hash_t h = PyObject_Hash(name);
        if (h == -1) return -2;
        for (int i = begin; i < end; ++i) {
            if (PyObject_Hash(param_name(i)) == h && PyUnicode_Compare(name, param_name(i)) == 0) return i;
        }
        return -1;
    }
    for (int i = begin; i < end; ++i) {
        const int eq = PyObject_RichCompareBool(name, param_name(i), Py_EQ);
        if (eq < 0) return -2;
        if (eq) return i;
    }
    return -1;
}

bool bind_keywords(Ref (&values)[kParams], PyObject* const* args, Py_ssize_t n, PyObject* kwnames) noexcept {
    const int first = static_cast<int>(n);
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        int index = find_by_identity(name, first, kParams);
        if (index == -1) {
            if (!PyUnicode_Check(name)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", kFunctionName);
                return false;
            }
            index = find_by_content(name, first, kParams);
            if (index == -2) return false;
        }
        if (index >= 0) {
            values[index] = new_ref(args[n + k]);
            continue;
        }
        int earlier = find_by_identity(name, 0, first);
        if (earlier == -1) earlier = find_by_content(name, 0, first);
        if (earlier == -2) return false;
        if (earlier >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", kFunctionName, name);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", kFunctionName, name);
        }
        return false;
    }
    // The count reported is the position of the first missing required parameter.
    for (Py_ssize_t i = n; i < kRequired; ++i) {
        if (!values[i]) {
            argument_count_error(i);
            return false;
        }
    }
    return true;
}

bool check_type(PyObject* arg, PyTypeObject* type, int param, const char* expected) noexcept {
    if (arg == Py_None || Py_TYPE(arg) == type) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 PyUnicode_AsUTF8(param_name(param)), expected, Py_TYPE(arg)->tp_name);
    return false;
}

// Binds the call's arguments into `values`, converts num_threads and checks
// the types; false with an exception set.
bool bind_arguments(Ref (&values)[kParams], int32_t* num_threads, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames) noexcept {
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    const bool keywords = kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0;
    if (keywords ? n > kParams : (n != kParams && n != kRequired)) {
        argument_count_error(n);
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) values[i] = new_ref(args[i]);
    if (keywords && !bind_keywords(values, args, n, kwnames)) return false;

    *num_threads = 0;
    if (values[3] && !as_int32(values[3].get(), num_threads)) return false;
    return check_type(values[0].get(), &PyList_Type, 0, "list") &&
           check_type(values[1].get(), &PyDict_Type, 1, "dict") &&
           check_type(values[2].get(), &PyDict_Type, 2, "dict");
}

// ---------------------------------------------------------------------------
// The function object: a small callable with the attributes of a Python
// function, so introspection, inspect.signature and pickling work.

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;
    PyObject* globals;
    PyObject* code;
};

PyObject* function_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Ref values[kParams];
    int32_t num_threads = 0;
    if (!bind_arguments(values, &num_threads, args, nargsf, kwnames)) {
        add_traceback(TracebackEntry::parallel_find_matches);
        return nullptr;
    }
    // pair_to_names is checked but plays no part.
    return find_matches(values[0].get(), values[1].get(), num_threads);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    return 0;
}

int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<FunctionObject*>(self)->qualname, self);
}

// Pickled by reference: the qualified name, looked up in __module__.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

PyObject* function_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), Py_READONLY, nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(FunctionObject, defaults), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(FunctionObject, globals), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(FunctionObject, code), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__kwdefaults__", function_kwdefaults, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "Talvik.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

PyObject* make_function(PyObject* code, PyObject* globals) noexcept {
    Ref defaults(Py_BuildValue("(i)", 0));
    Ref doc(PyUnicode_FromString(kFunctionDoc));
    if (!defaults || !doc) return nullptr;
    auto* f = PyObject_GC_New(FunctionObject, function_type);
    if (f == nullptr) return nullptr;
    f->vectorcall = function_vectorcall;
    f->name = Py_NewRef(constants.parallel_find_matches);
    f->qualname = Py_NewRef(constants.parallel_find_matches);
    f->module = Py_NewRef(constants.module_name);
    f->doc = doc.release();
    f->defaults = defaults.release();
    f->globals = Py_NewRef(globals);
    f->code = Py_NewRef(code);
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

// A code object with the function's four positional-or-keyword parameters.
PyObject* make_function_code() noexcept {
    Ref empty(reinterpret_cast<PyObject*>(PyCode_NewEmpty("Talvik", kFunctionName, 1)));
    if (!empty) return nullptr;
    Ref varnames(PyTuple_Pack(kParams, constants.all_names, constants.word_to_matches, constants.pair_to_names,
                              constants.num_threads));
    Ref kwargs(Py_BuildValue("{s:i,s:i,s:i,s:i,s:i,s:O,s:O}", "co_argcount", kParams, "co_posonlyargcount", 0,
                             "co_kwonlyargcount", 0, "co_nlocals", kParams, "co_flags", CO_OPTIMIZED | CO_NEWLOCALS,
                             "co_varnames", varnames.get(), "co_qualname", constants.parallel_find_matches));
    if (!varnames || !kwargs) return nullptr;
    Ref replace(PyObject_GetAttrString(empty.get(), "replace"));
    Ref no_args(PyTuple_New(0));
    if (!replace || !no_args) return nullptr;
    return PyObject_Call(replace.get(), no_args.get(), kwargs.get());
}

// ---------------------------------------------------------------------------
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
        {&constants.builtins_attr, "__builtins__"},
        {&constants.test_attr, "__test__"},
    };
    for (const Item& item : items) {
        if (*item.slot == nullptr && (*item.slot = PyUnicode_InternFromString(item.text)) == nullptr) return false;
        if (PyObject_Hash(*item.slot) == -1) return false;
    }
    if (constants.one == nullptr && (constants.one = PyLong_FromLong(1)) == nullptr) return false;
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
    if (function_type == nullptr &&
        (function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec))) == nullptr) {
        return false;
    }
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

    if (function_code == nullptr && (function_code = make_function_code()) == nullptr) return false;

    Ref multiprocessing(import_module(constants.multiprocessing));
    if (!multiprocessing || PyDict_SetItem(dict.get(), constants.multiprocessing, multiprocessing.get()) < 0) {
        return false;
    }
    Ref defaultdict(import_defaultdict());
    if (!defaultdict || PyDict_SetItem(dict.get(), constants.defaultdict, defaultdict.get()) < 0) return false;

    Ref function(make_function(function_code, dict.get()));
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
