// reductions.hpp: np.sum and np.max as the driver and the row preparation
// call them.
#pragma once

#include "frame/ref.hpp"

namespace accel::respgrid {

/// np.sum(row), `sum` being what np.sum gave at this use.
frame::Ref sum_of(PyObject *sum, PyObject *row);

/// np.max(buffer_object), `max` being what np.max gave at this use; the
/// buffer object has `length` entries and no `max` method.
frame::Ref max_of(PyObject *max, PyObject *buffer_object, Py_ssize_t length);

}  // namespace accel::respgrid
