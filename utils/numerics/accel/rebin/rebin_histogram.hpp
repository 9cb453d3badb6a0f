// rebin_histogram.hpp: rebin_histogram_cy(energy_axis, count_axis, new_energy_axis).
#pragma once

#include "frame/module_data.hpp"

namespace accel::rebin {

extern frame::ParamTable rebin_params;

/// Python entry: the counts of the old bins redistributed onto the new bins,
/// a new float64 array of len(new_energy_axis) - 1 elements.
PyObject *rebin_histogram_cy(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace accel::rebin
