// function.cpp: function objects with vectorcall and a code object.
//
// The entry trampoline is the only place that catches C++ exceptions: a
// std::bad_alloc thrown by a kernel becomes MemoryError there.
#include "frame/function.hpp"

#include <cstddef>
#include <new>
#include <structmember.h>

namespace accel::frame {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FastFunction impl;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;           // null: __doc__ is None
    PyObject *globals;
    PyObject *code;
    PyObject *defaults;      // null: no defaults
    PyObject *kwdefaults;    // null: no keyword-only defaults
    PyObject *annotations;
};

PyTypeObject *function_type = nullptr;   // created once, never released

PyObject *call_function(PyObject *self, PyObject *const *args, size_t nargsf,
                        PyObject *kwnames) noexcept
{
    auto *fn = reinterpret_cast<FunctionObject *>(self);
    try {
        return fn->impl(args, PyVectorcall_NARGS(nargsf), kwnames);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

void function_dealloc(PyObject *self)
{
    auto *fn = reinterpret_cast<FunctionObject *>(self);
    PyTypeObject *type = Py_TYPE(self);
    Py_XDECREF(fn->name);
    Py_XDECREF(fn->qualname);
    Py_XDECREF(fn->module);
    Py_XDECREF(fn->doc);
    Py_XDECREF(fn->globals);
    Py_XDECREF(fn->code);
    Py_XDECREF(fn->defaults);
    Py_XDECREF(fn->kwdefaults);
    Py_XDECREF(fn->annotations);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *function_repr(PyObject *self)
{
    auto *fn = reinterpret_cast<FunctionObject *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", fn->qualname, self);
}

/// Not bound as a method when stored on a class, like a builtin function;
/// having __get__ also lets pydoc and inspect.isroutine see a routine.
PyObject *function_descr_get(PyObject *self, PyObject *, PyObject *)
{
    return Py_NewRef(self);
}

/// Pickled by reference: the module attribute of that name.
PyObject *function_reduce(PyObject *self, PyObject *)
{
    return Py_NewRef(reinterpret_cast<FunctionObject *>(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#define FN_MEMBER(pyname, field, flags) \
    {pyname, T_OBJECT, offsetof(FunctionObject, field), flags, nullptr}

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY,
     nullptr},
    FN_MEMBER("__name__", name, READONLY),
    FN_MEMBER("__qualname__", qualname, READONLY),
    FN_MEMBER("__module__", module, READONLY),
    FN_MEMBER("__doc__", doc, 0),
    FN_MEMBER("__globals__", globals, READONLY),
    FN_MEMBER("__code__", code, READONLY),
    FN_MEMBER("__defaults__", defaults, READONLY),
    FN_MEMBER("__kwdefaults__", kwdefaults, READONLY),
    FN_MEMBER("__annotations__", annotations, 0),
    {nullptr, 0, 0, 0, nullptr},
};

#undef FN_MEMBER

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    .name = "accel_function",
    .basicsize = sizeof(FunctionObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = function_slots,
};

Ref str_tuple(const std::vector<const char *> &first, const std::vector<const char *> &rest)
{
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(first.size() + rest.size())));
    if (!tuple)
        return {};
    Py_ssize_t i = 0;
    for (const auto *part : {&first, &rest})
        for (const char *text : *part) {
            PyObject *name = PyUnicode_InternFromString(text);
            if (!name)
                return {};
            PyTuple_SET_ITEM(tuple.get(), i++, name);   // steals
        }
    return tuple;
}

}  // namespace

bool ready_function_type()
{
    if (function_type)
        return true;
    function_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&function_spec));
    return function_type != nullptr;
}

Ref new_code_object(const ModuleData &module, const FunctionDef &def)
{
    std::vector<const char *> params;
    for (const InternedName &name : def.params->names)
        params.push_back(name.text);
    Ref varnames = str_tuple(params, def.locals);
    Ref empty_tuple = Ref::steal(PyTuple_New(0));
    Ref empty_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    Ref filename = Ref::steal(PyUnicode_FromString(module.source_path));
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    if (!varnames || !empty_tuple || !empty_bytes || !filename || !name)
        return {};
    // Introspection only: no bytecode, no line table.
    return Ref::steal(reinterpret_cast<PyObject *>(PyUnstable_Code_NewWithPosOnlyArgs(
        def.params->size(), 0, 0, static_cast<int>(PyTuple_GET_SIZE(varnames.get())), 0,
        CO_OPTIMIZED | CO_NEWLOCALS, empty_bytes.get(), empty_tuple.get(),
        empty_tuple.get(), varnames.get(), empty_tuple.get(), empty_tuple.get(),
        filename.get(), name.get(), name.get(), def.first_line, empty_bytes.get(),
        empty_bytes.get())));
}

Ref new_function(const ModuleData &module, const FunctionDef &def, PyObject *code)
{
    Ref self = Ref::steal(PyType_GenericAlloc(function_type, 0));
    if (!self)
        return {};
    auto *fn = reinterpret_cast<FunctionObject *>(self.get());
    fn->vectorcall = call_function;
    fn->impl = def.impl;
    fn->name = PyUnicode_InternFromString(def.name);
    fn->qualname = Py_XNewRef(fn->name);
    fn->module = PyUnicode_FromString(module.full_name);
    fn->globals = Py_NewRef(module.dict);
    fn->code = Py_NewRef(code);
    fn->annotations = PyDict_New();
    if (!fn->name || !fn->module || !fn->annotations)
        return {};
    return self;
}

}  // namespace accel::frame
