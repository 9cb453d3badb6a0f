// module_init.cpp: module creation and execution, one interpreter per process.
//
// The module state is process-wide and never released: the first interpreter
// that creates the module owns it, a second one is refused, and importing the
// module again (after removing it from sys.modules) gives the same object.
// A failed exec step forgets the module instance, so a later import runs both
// steps again.
#include "frame/module_init.hpp"

#include "frame/function.hpp"
#include "frame/traceback.hpp"
#include "frame/typed_view.hpp"

#include <new>

namespace accel::frame {
namespace {

constexpr unsigned long built_for_python = 0x030C;   // major.minor of the headers

/// Copies spec.<attr> to module.<target>. A spec without the attribute is
/// accepted; a None value is skipped when `skip_none`.
bool copy_spec_attr(PyObject *spec, PyObject *module, const char *attr,
                    const char *target, bool skip_none)
{
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return false;
        PyErr_Clear();
        return true;
    }
    if (skip_none && value.get() == Py_None)
        return true;
    return PyObject_SetAttrString(module, target, value.get()) == 0;
}

/// Warns when the running interpreter is not the one the module was built
/// for; fails only when the warning is turned into an error.
bool check_python_version(const ModuleData &module)
{
    if ((Py_Version >> 16) == built_for_python)
        return true;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime "
                  "version %d.%d",
                  static_cast<int>(built_for_python >> 8),
                  static_cast<int>(built_for_python & 0xFF), module.full_name,
                  "does not match", static_cast<int>(Py_Version >> 24),
                  static_cast<int>((Py_Version >> 16) & 0xFF));
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

bool intern_names(ModuleData &module)
{
    auto intern = [](InternedName &name) {
        if (!name.obj)
            name.obj = PyUnicode_InternFromString(name.text);
        return name.obj != nullptr;
    };
    for (FunctionDef &def : module.functions)
        for (InternedName &name : def.params->names)
            if (!intern(name))
                return false;
    for (InternedName *name : module.names)
        if (!intern(*name))
            return false;
    return true;
}

bool ensure_in_sys_modules(const ModuleData &module)
{
    Ref name = Ref::steal(PyUnicode_FromString(module.full_name));
    if (!name)
        return false;
    Ref present = Ref::steal(PyImport_GetModule(name.get()));
    if (present)
        return true;
    if (PyErr_Occurred())
        return false;
    return PyObject_SetItem(PyImport_GetModuleDict(), name.get(), module.instance) == 0;
}

/// `import numpy as np`: the module already in sys.modules, else an absolute
/// import with the module namespace as globals.
bool import_numpy_as_np(const ModuleData &module)
{
    Ref name = Ref::steal(PyUnicode_InternFromString("numpy"));
    if (!name)
        return false;
    Ref numpy = Ref::steal(PyImport_GetModule(name.get()));
    if (!numpy || numpy.get() == Py_None) {   // None blocks the import: let it say so
        if (PyErr_Occurred())
            return false;
        numpy = Ref::steal(
            PyImport_ImportModuleLevelObject(name.get(), module.dict, nullptr, nullptr, 0));
        if (!numpy)
            return false;
    }
    return PyDict_SetItemString(module.dict, "np", numpy.get()) == 0;
}

/// Exec steps 3 to 12. On failure `line` holds the traceback line of the
/// failing step, or 0 for the steps whose failure adds no entry.
bool run_exec_steps(ModuleData &module, int &line)
{
    line = 0;
    PyObject *builtins = PyImport_AddModule("builtins");   // borrowed
    if (!builtins)
        return false;
    Py_XSETREF(module.builtins, Py_NewRef(builtins));
    if (PyObject_SetAttrString(module.instance, "__builtins__", builtins) < 0)
        return false;
    if (!check_python_version(module))
        return false;
    if (!intern_names(module))
        return false;
    if (module.init_name.empty())
        module.init_name = std::string("init ") + module.full_name;

    line = init_line;
    if (module.import_numpy_core && !module.import_numpy_core())
        return false;
    if (!ensure_in_sys_modules(module))
        return false;
    if (!ready_function_type() || !ready_view_type())
        return false;
    std::vector<Ref> codes;
    for (const FunctionDef &def : module.functions) {
        codes.push_back(new_code_object(module, def));
        if (!codes.back())
            return false;
    }
    if (module.check_numpy_types && !module.check_numpy_types())
        return false;

    line = module.numpy_import_line;
    if (!import_numpy_as_np(module))
        return false;

    for (size_t i = 0; i < module.functions.size(); ++i) {
        const FunctionDef &def = module.functions[i];
        line = def.first_line;
        Ref fn = new_function(module, def, codes[i].get());
        if (!fn || PyDict_SetItemString(module.dict, def.name, fn.get()) < 0)
            return false;
    }

    line = init_line;
    Ref tests = Ref::steal(PyDict_New());
    return tests && PyDict_SetItemString(module.dict, "__test__", tests.get()) == 0;
}

}  // namespace

PyObject *create_module(ModuleData &module, PyObject *spec) noexcept
{
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred())
        return nullptr;
    if (module.owner_interpreter == -1) {
        module.owner_interpreter = id;
    } else if (module.owner_interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded "
                        "into one interpreter per process.");
        return nullptr;
    }
    if (module.instance)
        return Py_NewRef(module.instance);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    Ref self = Ref::steal(PyModule_NewObject(name.get()));
    if (!self)
        return nullptr;
    if (!copy_spec_attr(spec, self.get(), "loader", "__loader__", false) ||
        !copy_spec_attr(spec, self.get(), "origin", "__file__", false) ||
        !copy_spec_attr(spec, self.get(), "parent", "__package__", false) ||
        !copy_spec_attr(spec, self.get(), "submodule_search_locations", "__path__", true))
        return nullptr;
    return self.release();
}

int exec_module(ModuleData &module, PyObject *self) noexcept
{
    if (module.instance) {
        if (module.instance == self)
            return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not "
                     "supported.",
                     module.name);
        return -1;
    }
    module.instance = Py_NewRef(self);
    module.dict = PyModule_GetDict(self);

    int line = 0;
    bool done;
    try {
        done = run_exec_steps(module, line);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        done = false;
    }
    if (done)
        return 0;
    if (line != 0)
        add_traceback({&module, module.init_name.c_str()}, line);
    Py_CLEAR(module.instance);
    module.dict = nullptr;
    return -1;
}

}  // namespace accel::frame
