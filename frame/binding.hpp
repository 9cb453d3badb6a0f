// binding.hpp: binding a fast call's arguments to a function's parameters.
#pragma once

#include "frame/module_data.hpp"

namespace accel::frame {

/// Fills values[0 .. table.size()) with borrowed references to the arguments
/// of a call made with the fast calling convention, or raises TypeError and
/// returns false. Every parameter is required.
bool bind_args(const ParamTable &table, PyObject *const *args, Py_ssize_t nargs,
               PyObject *kwnames, PyObject **values);

}  // namespace accel::frame
