// reductions.cpp: np.sum and np.max without the layer of Python around them.
//
// NumPy's own sum of an ndarray (not a subclass) is np.add.reduce(row, None)
// once its Python wrappers have looked at the argument, and NumPy's own max of
// an object without a `max` method is np.maximum.reduce(obj, None). For rows
// of a few channels those wrappers cost more than the reduction, so where the
// result, and every warning and error, can only be the same, the reduction
// is called directly:
// - the maximum of float64 values raises no floating-point warning (NaN and
//   infinities included); only an empty axis fails, and that goes through
//   np.max so that its error comes as NumPy raises it;
// - a sum warns only when it overflows or adds infinities of both signs, so
//   a row goes straight to the reduction only when its values are finite and
//   their magnitudes add up to well below the largest double. The check is a
//   pass over the row; longer rows, where the wrappers hardly count, are not
//   checked and go through np.sum.
// Anything else bound to np.sum or np.max is called as it is.
#include "respgrid/reductions.hpp"

#include "respgrid/module.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL accel_respgrid_array_api
#define NO_IMPORT_ARRAY
#include <numpy/ndarrayobject.h>

#include <cfloat>
#include <cmath>
#include <cstring>

namespace accel::respgrid {
namespace {

using frame::Ref;

constexpr npy_intp checked_row_limit = 1024;

/// True for a float64 ndarray (not a subclass) of one dimension and at most
/// checked_row_limit entries, finite and with magnitudes adding up to at most
/// half the largest double: no partial sum can then overflow.
bool sums_quietly(PyObject *row)
{
    if (Py_TYPE(row) != ndarray_type)
        return false;
    auto *array = reinterpret_cast<PyArrayObject *>(row);
    if (PyArray_NDIM(array) != 1 || PyArray_TYPE(array) != NPY_DOUBLE ||
        !PyArray_ISNOTSWAPPED(array) || PyArray_DIM(array, 0) > checked_row_limit)
        return false;
    const char *data = PyArray_BYTES(array);
    const npy_intp n = PyArray_DIM(array, 0), stride = PyArray_STRIDE(array, 0);
    double magnitude[4] = {0.0, 0.0, 0.0, 0.0};   // in any order: only the bound counts
    for (npy_intp i = 0; i < n; ++i) {
        double value;
        std::memcpy(&value, data + i * stride, sizeof value);
        magnitude[i % 4] += std::fabs(value);
    }
    const double total = (magnitude[0] + magnitude[1]) + (magnitude[2] + magnitude[3]);
    return total <= DBL_MAX / 2;   // false for NaN and infinity
}

Ref reduce(PyObject *reduction, PyObject *values)
{
    PyObject *args[] = {values, Py_None};
    return Ref::steal(PyObject_Vectorcall(reduction, args, 2, nullptr));
}

}  // namespace

Ref sum_of(PyObject *sum, PyObject *row)
{
    if (sum == numpy_originals.sum && sums_quietly(row))
        return reduce(numpy_originals.add_reduce, row);
    return Ref::steal(PyObject_CallOneArg(sum, row));
}

Ref max_of(PyObject *max, PyObject *buffer_object, Py_ssize_t length)
{
    if (max == numpy_originals.max && length > 0)
        return reduce(numpy_originals.maximum_reduce, buffer_object);
    return Ref::steal(PyObject_CallOneArg(max, buffer_object));
}

}  // namespace accel::respgrid
