// module.cpp: the rebin extension module: its data, names and entry point.
#include "rebin/module.hpp"

#include "frame/module_init.hpp"
#include "rebin/rebin_histogram.hpp"

namespace accel::rebin {

namespace name {
frame::InternedName np{"np"}, zeros{"zeros"}, asarray{"asarray"}, dtype{"dtype"},
    float64{"float64"};
}

frame::ModuleData module_data{
    .name = "rebin",
    .full_name = "vantor.utils.numerics.accel.rebin",
    .source_path = "vantor/utils/numerics/accel/rebin",
    .functions = {{"rebin_histogram_cy", 3, &rebin_params,
                   {"old_n", "new_n", "new_counts", "i", "j", "k", "old_left", "old_right",
                    "new_left", "new_right", "overlap", "old_width"},
                   rebin_histogram_cy}},
    .names = {&name::np, &name::zeros, &name::asarray, &name::dtype, &name::float64},
    .numpy_import_line = 1,
};

}  // namespace accel::rebin

PyMODINIT_FUNC PyInit_rebin()
{
    return accel::frame::init_module<accel::rebin::module_data>();
}
