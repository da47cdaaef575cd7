// parallel_find_matches as a small callable with the attributes of a Python
// function, so that introspection, inspect.signature and pickling work.
#include <cstddef>

#include "common.h"

namespace talvik::py {
namespace {

constexpr const char kFunctionDoc[] =
    "\n    Find all valid name matches in parallel.\n"
    "    Returns: list of tuples (name1, name2) where name1 < name2 lexicographically\n    ";

PyObject* function_code = nullptr;
PyTypeObject* function_type = nullptr;

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

}  // namespace

bool make_function_type() noexcept {
    if (function_type != nullptr) return true;
    function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return function_type != nullptr;
}

PyObject* make_parallel_find_matches(PyObject* globals) noexcept {
    if (function_code == nullptr && (function_code = make_function_code()) == nullptr) return nullptr;
    return make_function(function_code, globals);
}

}  // namespace talvik::py
