// module.hpp: what the parts of the respgrid module share.
#pragma once

#include "frame/module_data.hpp"

namespace accel::respgrid {

extern frame::ModuleData module_data;

/// Qualified names of traceback entries.
extern const frame::TraceFunction regions_fn;

/// Names the kernels look up or pass to NumPy, interned at import.
namespace name {
extern frame::InternedName np, empty, sum, nansum, max, asarray, dtype, float64, int32,
    int64;
}

/// numpy.ndarray, fetched at import; the type of every ndarray argument.
extern PyTypeObject *ndarray_type;

/// NumPy's own functions and dtypes, fetched at import. What `np` gives at a
/// call is compared with these to recognise the real NumPy. add_reduce and
/// maximum_reduce are np.add.reduce and np.maximum.reduce, where np.sum and
/// np.max end.
struct NumPyOriginals {
    PyObject *asarray, *empty, *float64, *int32, *int64, *sum, *max;
    PyObject *add_reduce, *maximum_reduce;
};
extern NumPyOriginals numpy_originals;

// Initialisation steps of this module only (numpy_checks.cpp).
bool import_numpy_core();
bool check_numpy_types();

}  // namespace accel::respgrid
