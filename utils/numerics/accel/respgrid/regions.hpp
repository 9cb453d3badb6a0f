// regions.hpp: region boundaries of a photopeak response.
#pragma once

#include "frame/module_data.hpp"

namespace accel::respgrid {

extern frame::ParamTable regions_params;

/// The region-boundary list of a photopeak at E_p: [0, backscatter peak,
/// Compton edge, E_p - 10, E_p + 10, max_value] unsorted, or with the single
/// and double escape peaks before max_value and then sorted ascending. A new
/// list, or an empty Ref with an exception set and a traceback entry.
/// `has_escape_peaks` is judged by identity for True, False and None and by
/// the interpreter's truth test otherwise.
frame::Ref compute_regions(double E_p, double max_value, PyObject *has_escape_peaks);

/// Python entry: calculate_regions(E_p, max_value, has_escape_peaks).
PyObject *calculate_regions(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace accel::respgrid
