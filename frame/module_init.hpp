// module_init.hpp: the create and exec steps of multi-phase initialisation.
//
// A module lists them in its slots as create_step<data> and exec_step<data>,
// so the frame serves whichever module hands it its ModuleData.
#pragma once

#include "frame/module_data.hpp"

namespace accel::frame {

PyObject *create_module(ModuleData &module, PyObject *spec) noexcept;
int exec_module(ModuleData &module, PyObject *self) noexcept;

template <ModuleData &M>
PyObject *create_step(PyObject *spec, PyModuleDef *) noexcept
{
    return create_module(M, spec);
}

template <ModuleData &M>
int exec_step(PyObject *self) noexcept
{
    return exec_module(M, self);
}

/// Line of the traceback entries of initialisation failures that name no
/// line of their own.
inline constexpr int init_line = 1;

}  // namespace accel::frame
