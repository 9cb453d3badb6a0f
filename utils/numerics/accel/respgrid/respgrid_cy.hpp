// respgrid_cy.hpp: the response-matrix driver.
#pragma once

#include "frame/module_data.hpp"

namespace accel::respgrid {

extern frame::ParamTable respgrid_params;

/// Python entry: respgrid_cy(response_matrix, ref_indices, ref_E_axis,
/// requested_indices, requested_E_axis) -> (indptr int64, col_indices int32,
/// values float64), a CSR matrix with one row per requested energy and one
/// column per entry of requested_E_axis.
PyObject *respgrid_cy(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace accel::respgrid
