// module.cpp: the respgrid extension module: its data, names and entry point.
#include "respgrid/module.hpp"

#include "frame/module_init.hpp"
#include "respgrid/regions.hpp"
#include "respgrid/respgrid_cy.hpp"

namespace accel::respgrid {

namespace name {
frame::InternedName np{"np"}, empty{"empty"}, sum{"sum"}, nansum{"nansum"}, max{"max"},
    asarray{"asarray"}, dtype{"dtype"}, float64{"float64"}, int32{"int32"}, int64{"int64"};
}

frame::ModuleData module_data{
    .name = "respgrid",
    .full_name = "vantor.utils.numerics.accel.respgrid",
    .source_path = "vantor/utils/numerics/accel/respgrid",
    .functions = {{"calculate_regions", 69, &regions_params, {}, calculate_regions},
                  {"respgrid_cy", 162, &respgrid_params, {}, respgrid_cy}},
    .names = {&name::np, &name::empty, &name::sum, &name::nansum, &name::max,
              &name::asarray, &name::dtype, &name::float64, &name::int32, &name::int64},
    .numpy_import_line = 6,
    .import_numpy_core = import_numpy_core,
    .check_numpy_types = check_numpy_types,
};

const frame::TraceFunction regions_fn{&module_data,
                                      "vantor.utils.numerics.accel.respgrid.calculate_regions"};

}  // namespace accel::respgrid

PyMODINIT_FUNC PyInit_respgrid()
{
    return accel::frame::init_module<accel::respgrid::module_data>();
}
