// respgrid_cy.cpp: the response-matrix driver.
//
// For each requested energy v: the first reference energy not below v gives
// idx_hi (and idx_lo = idx_hi - 1); both reference rows are normalised to
// unit sum with np.sum; interpolate_response_row fills out_row, which is
// divided in place by its np.nansum; entries above 1e-12 are appended to the
// growing rows of the CSR result, which np.asarray converts at the end.
//
// Refused where the arithmetic would leave the arrays: None for any array;
// with at least one requested row, a matrix with fewer columns than
// ref_E_axis has entries, and any requested energy without a bracketing pair
// of reference energies (the search position would be below 1).
#include "respgrid/respgrid_cy.hpp"

#include "frame/binding.hpp"
#include "frame/convert.hpp"
#include "frame/nd_buffer.hpp"
#include "frame/traceback.hpp"
#include "frame/typed_view.hpp"
#include "respgrid/csr_builder.hpp"
#include "respgrid/module.hpp"
#include "respgrid/reductions.hpp"
#include "respgrid/row_interp.hpp"
#include "respgrid/search.hpp"

#include <cstdint>
#include <vector>

namespace accel::respgrid {
namespace {

using frame::NdBuffer;
using frame::Ref;
using frame::TypedView;

namespace line {
constexpr int def = 162;
constexpr int out_row = 196;
constexpr int bracket = 209;
constexpr int row_hi = 212;
constexpr int row_lo = 213;
constexpr int interpolate = 215;
constexpr int normalise = 216;
constexpr int append_col = 220;
constexpr int append_value = 221;
constexpr int append_indptr = 223;
constexpr int indptr_array = 226;
constexpr int col_indices_array = 227;
constexpr int values_array = 228;
}  // namespace line

constexpr double stored_above = 1e-12;

const frame::TraceFunction respgrid_fn{&module_data,
                                       "vantor.utils.numerics.accel.respgrid.respgrid_cy"};

/// The entry of the failing line, then the entry of the call itself.
PyObject *fail(int line)
{
    frame::add_traceback(respgrid_fn, line);
    return frame::add_traceback(respgrid_fn, line::def);
}

enum Arg { response_matrix, ref_indices, ref_E_axis, requested_indices, requested_E_axis };

/// np.empty(n, dtype=np.float64), bound to the float64 ndarray out_row.
bool make_out_row(Py_ssize_t n, Ref &out_row, NdBuffer &buffer)
{
    Ref size = Ref::steal(PyLong_FromSsize_t(n));
    if (!size)
        return false;
    Ref array = frame::call_global_attr(module_data, name::np, name::empty, size.get(),
                                        name::dtype, name::float64);
    return array && frame::rebind_ndarray(out_row, buffer, std::move(array), 1, ndarray_type);
}

/// Refuses a requested energy that no pair of reference rows brackets.
bool check_bracket(std::int64_t idx_hi, std::int64_t i, double v)
{
    if (idx_hi >= 1)
        return true;
    Ref energy = Ref::steal(PyFloat_FromDouble(v));
    if (!energy)
        return false;
    PyErr_Format(PyExc_ValueError,
                 "requested_indices[%lld] = %R is not bracketed by ref_indices: a requested "
                 "energy must lie above ref_indices[0] and at or below a later reference "
                 "energy",
                 static_cast<long long>(i), energy.get());
    return false;
}

/// row / np.sum(row) for row `index` of the matrix, held as a writable view.
bool normalised_row(PyObject *matrix, std::int64_t index, Ref &row, TypedView &view)
{
    Ref position = Ref::steal(PyLong_FromLongLong(index));
    if (!position)
        return false;
    Ref selected = Ref::steal(PyObject_GetItem(matrix, position.get()));
    if (!selected)
        return false;
    Ref sum = frame::lookup_global_attr(module_data, name::np, name::sum);
    if (!sum)
        return false;
    Ref total = sum_of(sum.get(), selected.get());
    if (!total)
        return false;
    row = Ref::steal(PyNumber_TrueDivide(selected.get(), total.get()));
    return row && frame::acquire_view(row.get(), 1, frame::double_element, view);
}

/// out_row /= np.nansum(out_row), the result bound to out_row again.
bool normalise_out_row(Ref &out_row, NdBuffer &buffer)
{
    Ref nansum = frame::lookup_global_attr(module_data, name::np, name::nansum);
    if (!nansum)
        return false;
    Ref total = Ref::steal(PyObject_CallOneArg(nansum.get(), out_row.get()));
    if (!total)
        return false;
    Ref quotient = Ref::steal(PyNumber_InPlaceTrueDivide(out_row.get(), total.get()));
    return quotient &&
           frame::rebind_ndarray(out_row, buffer, std::move(quotient), 1, ndarray_type);
}

}  // namespace

frame::ParamTable respgrid_params{"respgrid_cy",
                                  {{"response_matrix"},
                                   {"ref_indices"},
                                   {"ref_E_axis"},
                                   {"requested_indices"},
                                   {"requested_E_axis"}}};

PyObject *respgrid_cy(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[5];
    if (!frame::bind_args(respgrid_params, args, nargs, kwnames, a))
        return frame::add_traceback(respgrid_fn, line::def);
    for (int k = 0; k < 5; ++k) {
        // None passes the ndarray test, but every array is read below.
        const char *param = respgrid_params.names[k].text;
        if (a[k] == Py_None) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         param, ndarray_type->tp_name, Py_TYPE(a[k])->tp_name);
            return nullptr;
        }
        if (!frame::check_instance(a[k], ndarray_type, param))
            return nullptr;
    }
    NdBuffer buffers[5];
    for (int k = 0; k < 5; ++k)
        if (!buffers[k].acquire(a[k], k == response_matrix ? 2 : 1))
            return frame::add_traceback(respgrid_fn, line::def);

    CsrBuilder csr;   // indptr [0], col_indices [], values []

    const Py_ssize_t n_columns = buffers[requested_E_axis].extent(0);
    Ref out_row;
    NdBuffer out_row_buffer;
    if (!make_out_row(n_columns, out_row, out_row_buffer))
        return fail(line::out_row);

    const frame::Strided1D requested = buffers[requested_indices].as_1d();
    if (requested.n > 0) {
        if (buffers[response_matrix].extent(1) < buffers[ref_E_axis].extent(0)) {
            PyErr_Format(PyExc_ValueError,
                         "response_matrix has %zd columns, fewer than the %zd entries of "
                         "ref_E_axis",
                         buffers[response_matrix].extent(1), buffers[ref_E_axis].extent(0));
            return frame::add_traceback(respgrid_fn, line::def);
        }
        for (std::int64_t i = 0; i < requested.n; ++i)
            if (!check_bracket(find_first_not_below(requested[i], buffers[ref_indices].as_1d()),
                               i, requested[i]))
                return fail(line::bracket);
    }

    RowScratch scratch;
    for (std::int64_t i = 0; i < requested.n; ++i) {
        const double v = requested[i];
        TypedView ref_view;
        if (!frame::acquire_view(a[ref_indices], 1, frame::double_element, ref_view))
            return fail(line::bracket);
        // Searched again: NumPy calls of earlier rows may have changed the array.
        const std::int64_t idx_hi = find_first_not_below(v, ref_view.as_1d());
        if (!check_bracket(idx_hi, i, v))
            return fail(line::bracket);
        const std::int64_t idx_lo = idx_hi - 1;
        const double E_hi = ref_view.as_1d()[idx_hi];
        const double E_lo = ref_view.as_1d()[idx_lo];

        Ref row_hi, row_lo;
        TypedView row_hi_view, row_lo_view;
        if (!normalised_row(a[response_matrix], idx_hi, row_hi, row_hi_view))
            return fail(line::row_hi);
        if (!normalised_row(a[response_matrix], idx_lo, row_lo, row_lo_view))
            return fail(line::row_lo);

        TypedView axis_view, ref_axis_view, out_view;
        if (!frame::acquire_view(a[requested_E_axis], 1, frame::double_element, axis_view) ||
            !frame::acquire_view(a[ref_E_axis], 1, frame::double_element, ref_axis_view) ||
            !frame::acquire_view(out_row.get(), 1, frame::double_element, out_view))
            return fail(line::interpolate);
        if (!interpolate_response_row(v, axis_view, ref_axis_view, E_lo, row_lo_view, E_hi,
                                      row_hi_view, out_view, scratch))
            return fail(line::interpolate);
        out_view.release();

        if (!normalise_out_row(out_row, out_row_buffer))
            return fail(line::normalise);

        const CsrBuilder::Full full = csr.add_row(out_row_buffer.as_1d(), stored_above);
        if (full != CsrBuilder::Full::none) {
            PyErr_NoMemory();
            return fail(full == CsrBuilder::Full::col_indices ? line::append_col
                        : full == CsrBuilder::Full::values    ? line::append_value
                                                               : line::append_indptr);
        }
    }

    Ref indptr_array = csr.indptr_array();
    if (!indptr_array)
        return fail(line::indptr_array);
    Ref col_array = csr.col_indices_array();
    if (!col_array)
        return fail(line::col_indices_array);
    Ref values_array = csr.values_array();
    if (!values_array)
        return fail(line::values_array);
    PyObject *result = PyTuple_Pack(3, indptr_array.get(), col_array.get(), values_array.get());
    if (!result)
        return fail(line::indptr_array);
    return result;
}

}  // namespace accel::respgrid
