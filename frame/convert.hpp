// convert.hpp: scalar conversion, argument type tests and module-level names.
#pragma once

#include "frame/module_data.hpp"

namespace accel::frame {

/// Converts `obj` to a double: an exact float is read directly, anything
/// else goes through the interpreter's float conversion. False with an
/// exception set when that conversion fails.
bool to_double(PyObject *obj, double &out);

/// None, or an object of exactly `type`. Otherwise TypeError naming `param`.
bool check_exact(PyObject *obj, PyTypeObject *type, const char *param);

/// None, or an instance of `type` or of a subclass. Otherwise TypeError
/// naming `param`.
bool check_instance(PyObject *obj, PyTypeObject *type, const char *param);

/// The module-level name: the module namespace first, then the builtins.
/// Looked up at every use, never cached. NameError when neither has it.
Ref lookup_global(const ModuleData &module, const InternedName &name);

/// getattr(<module-level name>, attr), both fetched anew at every use.
Ref lookup_global_attr(const ModuleData &module, const InternedName &name,
                       const InternedName &attr);

/// callable(arg, <keyword>=value): one positional argument and one keyword.
Ref call_with_keyword(PyObject *callable, PyObject *arg, const InternedName &keyword,
                      PyObject *value);

/// <name>.<function>(arg, <keyword>=<name>.<attr>), as np.zeros(n,
/// dtype=np.float64) reads: the function looked up first, then the value.
Ref call_global_attr(const ModuleData &module, const InternedName &name,
                     const InternedName &function, PyObject *arg, const InternedName &keyword,
                     const InternedName &attr);

}  // namespace accel::frame
