// convert.cpp: scalar conversion, argument type tests and module-level names.
#include "frame/convert.hpp"

namespace accel::frame {
namespace {

bool raise_incorrect_type(PyObject *obj, PyTypeObject *type, const char *param)
{
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, type->tp_name, Py_TYPE(obj)->tp_name);
    return false;
}

}  // namespace

bool to_double(PyObject *obj, double &out)
{
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred())
        return false;
    out = value;
    return true;
}

bool check_exact(PyObject *obj, PyTypeObject *type, const char *param)
{
    if (obj == Py_None || Py_IS_TYPE(obj, type))
        return true;
    return raise_incorrect_type(obj, type, param);
}

bool check_instance(PyObject *obj, PyTypeObject *type, const char *param)
{
    if (obj == Py_None || PyObject_TypeCheck(obj, type))
        return true;
    return raise_incorrect_type(obj, type, param);
}

Ref lookup_global(const ModuleData &module, const InternedName &name)
{
    PyObject *found = PyDict_GetItemWithError(module.dict, name.obj);   // borrowed
    if (found)
        return Ref::borrow(found);
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            return {};
        PyErr_Clear();
    }
    Ref builtin = Ref::steal(PyObject_GetAttr(module.builtins, name.obj));
    if (!builtin && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.obj);
    }
    return builtin;
}

Ref lookup_global_attr(const ModuleData &module, const InternedName &name,
                       const InternedName &attr)
{
    Ref holder = lookup_global(module, name);
    if (!holder)
        return {};
    return Ref::steal(PyObject_GetAttr(holder.get(), attr.obj));
}

Ref call_with_keyword(PyObject *callable, PyObject *arg, const InternedName &keyword,
                      PyObject *value)
{
    Ref kwnames = Ref::steal(PyTuple_Pack(1, keyword.obj));
    if (!kwnames)
        return {};
    PyObject *args[] = {arg, value};
    return Ref::steal(PyObject_Vectorcall(callable, args, 1, kwnames.get()));
}

Ref call_global_attr(const ModuleData &module, const InternedName &name,
                     const InternedName &function, PyObject *arg, const InternedName &keyword,
                     const InternedName &attr)
{
    Ref callable = lookup_global_attr(module, name, function);
    if (!callable)
        return {};
    Ref value = lookup_global_attr(module, name, attr);
    if (!value)
        return {};
    return call_with_keyword(callable.get(), arg, keyword, value.get());
}

}  // namespace accel::frame
