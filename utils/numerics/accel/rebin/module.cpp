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

namespace {

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(frame::create_step<module_data>)},
    {Py_mod_exec, reinterpret_cast<void *>(frame::exec_step<module_data>)},
    {0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "rebin",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = slots,
};

}  // namespace
}  // namespace accel::rebin

PyMODINIT_FUNC PyInit_rebin()
{
    return PyModuleDef_Init(&accel::rebin::definition);
}
