// function.hpp: the function objects that modules register.
//
// They are called with the fast calling convention with keywords and carry
// what `inspect` needs to treat them as functions: __code__, __defaults__,
// __kwdefaults__, __annotations__, __globals__.
#pragma once

#include "frame/module_data.hpp"

namespace accel::frame {

/// Creates the function type once per process. False with an exception set.
bool ready_function_type();

/// The introspection code object of `def`: its parameters and locals as
/// co_varnames, the module's source path as co_filename.
Ref new_code_object(const ModuleData &module, const FunctionDef &def);

/// A function object for `def` over `code`, with the module namespace as
/// its globals.
Ref new_function(const ModuleData &module, const FunctionDef &def, PyObject *code);

}  // namespace accel::frame
