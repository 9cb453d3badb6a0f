// numpy_checks.cpp: NumPy's native interface and the layout of its types.
//
// At import the module makes sure that the NumPy it runs with is compatible
// with the headers it was built against: NumPy's core extension must export
// its interface table, with an ABI no newer than NumPy 2's, a feature level of
// at least NumPy 1.25's and little-endian data; and the Python and NumPy types
// whose layout the headers describe must be at least as large as recorded.
// Nothing is called through the interface table afterwards.
#include "frame/ref.hpp"
#include "respgrid/module.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL accel_respgrid_array_api
#define NO_IMPORT_UFUNC
#include <numpy/ndarrayobject.h>
#include <numpy/ufuncobject.h>

#include <cstddef>
#include <cstring>
#include <utility>

namespace accel::respgrid {

PyTypeObject *ndarray_type = nullptr;
NumPyOriginals numpy_originals{};

namespace {

using frame::Ref;

/// A new reference to NumPy's core extension, trying the location of NumPy
/// releases before 2.0 when the current one is missing.
Ref import_core_extension()
{
    Ref core = Ref::steal(PyImport_ImportModule("numpy._core._multiarray_umath"));
    if (!core && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();
        core = Ref::steal(PyImport_ImportModule("numpy.core._multiarray_umath"));
    }
    return core;
}

bool check_interface_table()
{
    Ref core = import_core_extension();
    if (!core)
        return false;
    Ref capsule = Ref::steal(PyObject_GetAttrString(core.get(), "_ARRAY_API"));
    if (!capsule)
        return false;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not PyCapsule object");
        return false;
    }
    PyArray_API = static_cast<void **>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (!PyArray_API) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is NULL pointer");
        return false;
    }
    const unsigned abi = PyArray_GetNDArrayCVersion();
    if (abi > NPY_VERSION) {
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against ABI version 0x%x but this version of "
                     "numpy is 0x%x",
                     static_cast<unsigned>(NPY_VERSION), abi);
        return false;
    }
    const unsigned feature = PyArray_GetNDArrayCFeatureVersion();
    if (feature < NPY_FEATURE_VERSION) {
        PyErr_Format(PyExc_RuntimeError,
                     "module was compiled against NumPy C-API version 0x%x but the "
                     "running NumPy has C-API version 0x%x",
                     static_cast<unsigned>(NPY_FEATURE_VERSION), feature);
        return false;
    }
    if (PyArray_GetEndianness() != NPY_CPU_LITTLE) {
        PyErr_SetString(PyExc_RuntimeError,
                        "module compiled as little endian, but detected a different "
                        "endianness at runtime");
        return false;
    }
    return true;
}

/// The layout of a type as the headers record it.
struct RecordedType {
    const char *module;
    const char *name;
    std::size_t size;
    bool warn_if_larger;   // else a larger size is accepted silently
};

const RecordedType recorded_types[] = {
    {"builtins", "type", sizeof(PyHeapTypeObject), true},
    {"numpy", "dtype", sizeof(PyArray_Descr), false},
    {"numpy", "flatiter", sizeof(PyArrayIterObject), false},
    {"numpy", "broadcast", sizeof(PyArrayMultiIterObject), false},
    {"numpy", "ndarray", sizeof(PyArrayObject_fields), false},
    {"numpy", "generic", sizeof(PyObject), true},
    {"numpy", "number", sizeof(PyObject), true},
    {"numpy", "integer", sizeof(PyObject), true},
    {"numpy", "signedinteger", sizeof(PyObject), true},
    {"numpy", "unsignedinteger", sizeof(PyObject), true},
    {"numpy", "inexact", sizeof(PyObject), true},
    {"numpy", "floating", sizeof(PyObject), true},
    {"numpy", "complexfloating", sizeof(PyObject), true},
    {"numpy", "flexible", sizeof(PyObject), true},
    {"numpy", "character", sizeof(PyObject), true},
    {"numpy", "ufunc", sizeof(PyUFuncObject), false},
};

/// The types fetched at import, held for the life of the process.
PyObject *held_types[std::size(recorded_types)];

/// Fetches one recorded type and compares its size with the record.
Ref fetch_type(PyObject *from, const RecordedType &record)
{
    Ref type = Ref::steal(PyObject_GetAttrString(from, record.name));
    if (!type)
        return {};
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", record.module,
                     record.name);
        return {};
    }
    auto *t = reinterpret_cast<PyTypeObject *>(type.get());
    const Py_ssize_t basic = t->tp_basicsize;
    Py_ssize_t item = t->tp_itemsize;
    if (item > 0 && item < 8)
        item = 8;
    const auto expected = static_cast<Py_ssize_t>(record.size);
    if (basic + item < expected) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. "
                     "Expected %zd from C header, got %zd from PyObject",
                     record.module, record.name, expected, basic + item);
        return {};
    }
    if (record.warn_if_larger && basic > expected) {
        char message[200];
        PyOS_snprintf(message, sizeof message,
                      "%.200s.%.200s size changed, may indicate binary incompatibility. "
                      "Expected %zd from C header, got %zd from PyObject",
                      record.module, record.name, expected, basic);
        if (PyErr_WarnEx(nullptr, message, 0) < 0)
            return {};
    }
    return type;
}

}  // namespace

bool import_numpy_core()
{
    if (check_interface_table())
        return true;
    PyObject *cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_ImportError, "numpy.core.multiarray failed to import: %S", cause);
    PyObject *error = PyErr_GetRaisedException();
    PyException_SetCause(error, cause);   // steals
    PyErr_SetRaisedException(error);
    return false;
}

bool check_numpy_types()
{
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy)
        return false;
    for (std::size_t i = 0; i < std::size(recorded_types); ++i) {
        const RecordedType &record = recorded_types[i];
        const bool builtin = std::strcmp(record.module, "builtins") == 0;
        Ref type = fetch_type(builtin ? module_data.builtins : numpy.get(), record);
        if (!type)
            return false;
        Py_XSETREF(held_types[i], type.release());
        if (std::strcmp(record.name, "ndarray") == 0)
            ndarray_type = reinterpret_cast<PyTypeObject *>(held_types[i]);
    }
    const std::pair<PyObject **, const char *> originals[] = {
        {&numpy_originals.asarray, "asarray"}, {&numpy_originals.empty, "empty"},
        {&numpy_originals.float64, "float64"}, {&numpy_originals.int32, "int32"},
        {&numpy_originals.int64, "int64"},     {&numpy_originals.sum, "sum"},
        {&numpy_originals.max, "max"},
    };
    for (const auto &[slot, attr] : originals) {
        PyObject *value = PyObject_GetAttrString(numpy.get(), attr);
        if (!value)
            return false;
        Py_XSETREF(*slot, value);
    }
    const std::pair<PyObject **, const char *> reductions[] = {
        {&numpy_originals.add_reduce, "add"}, {&numpy_originals.maximum_reduce, "maximum"}};
    for (const auto &[slot, ufunc_name] : reductions) {
        Ref ufunc = Ref::steal(PyObject_GetAttrString(numpy.get(), ufunc_name));
        PyObject *reduce = ufunc ? PyObject_GetAttrString(ufunc.get(), "reduce") : nullptr;
        if (!reduce)
            return false;
        Py_XSETREF(*slot, reduce);
    }
    return true;
}

}  // namespace accel::respgrid
