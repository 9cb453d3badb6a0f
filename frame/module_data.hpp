// module_data.hpp: what a module hands to the frame.
//
// Each extension module defines one ModuleData: its names, source path,
// function table and the hooks of the initialisation steps that only it has.
// The frame fills in the process-wide state at import; that state is never
// released, so the module lives until the process ends.
#pragma once

#include "frame/ref.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace accel::frame {

/// A str interned once at module initialisation and kept for the process.
struct InternedName {
    const char *text;
    PyObject *obj = nullptr;
};

/// The parameters of one public function: every one is required and may be
/// given by position or by keyword.
struct ParamTable {
    const char *function_name;             // as used in messages
    std::vector<InternedName> names;       // in parameter order

    Py_ssize_t size() const { return static_cast<Py_ssize_t>(names.size()); }
};

/// The fast calling convention with keywords: positional arguments in a
/// vector, keyword values after them, their names in `kwnames` (or null).
using FastFunction = PyObject *(*)(PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames);

/// One public function of a module.
struct FunctionDef {
    const char *name;
    int first_line;                        // co_firstlineno of its code object
    ParamTable *params;
    std::vector<const char *> locals;      // co_varnames after the parameters
    FastFunction impl;
};

/// A code object made for a traceback entry, reused for the same line.
struct CachedCode {
    const char *qualname;
    int line;
    PyObject *code;
};

struct ModuleData {
    const char *name;                      // "respgrid"
    const char *full_name;                 // "vantor.utils.numerics.accel.respgrid"
    const char *source_path;               // file name of traceback entries
    std::vector<FunctionDef> functions;
    std::vector<InternedName *> names;     // further names the kernels use
    int numpy_import_line;                 // traceback line of `import numpy as np`

    // Initialisation steps of one module only; null where a module has none.
    // Each returns false with an exception set.
    bool (*import_numpy_core)() = nullptr;
    bool (*check_numpy_types)() = nullptr;

    // Process-wide state, set by the create and exec steps.
    std::string init_name;                 // "init " + full_name, for traceback entries
    std::int64_t owner_interpreter = -1;
    PyObject *instance = nullptr;          // strong
    PyObject *dict = nullptr;              // borrowed from `instance`
    PyObject *builtins = nullptr;          // strong
    std::vector<CachedCode> code_cache;    // strong references in `code`
};

/// The qualified function name of traceback entries, with its module.
struct TraceFunction {
    ModuleData *module;
    const char *qualname;
};

}  // namespace accel::frame
