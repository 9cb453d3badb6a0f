// module_init.hpp: the create and exec steps of multi-phase initialisation.
//
// A module's entry point returns init_module<data>(), whose slots are
// create_step<data> and exec_step<data>: the frame serves whichever module
// hands it its ModuleData.
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

/// What a module's PyInit_<name> returns: its definition, for multi-phase
/// initialisation by create_step<M> and exec_step<M>. No docstring, no
/// methods (the functions are added by the exec step), no per-module state.
template <ModuleData &M>
PyObject *init_module() noexcept
{
    static PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void *>(create_step<M>)},
        {Py_mod_exec, reinterpret_cast<void *>(exec_step<M>)},
        {0, nullptr},
    };
    static PyModuleDef definition = {
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = M.name,
        .m_doc = nullptr,
        .m_size = 0,
        .m_methods = nullptr,
        .m_slots = slots,
    };
    return PyModuleDef_Init(&definition);
}

/// Line of the traceback entries of initialisation failures that name no
/// line of their own.
inline constexpr int init_line = 1;

}  // namespace accel::frame
