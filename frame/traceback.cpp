// traceback.cpp: one frame per failure point, made over an empty code object.
//
// The code object carries the source path as file name, the qualified name as
// function name and the failure line as its first line, so the traceback shows
// that line without any line table. Code objects are kept per (name, line).
#include "frame/traceback.hpp"

#include <frameobject.h>
#include <new>

namespace accel::frame {
namespace {

/// A new reference to the code object of (qualname, line), or null with an
/// exception set.
PyObject *code_for(ModuleData &module, const char *qualname, int line)
{
    for (const CachedCode &entry : module.code_cache)
        if (entry.qualname == qualname && entry.line == line)
            return Py_NewRef(entry.code);
    PyObject *code = reinterpret_cast<PyObject *>(
        PyCode_NewEmpty(module.source_path, qualname, line));
    if (!code)
        return nullptr;
    if (line != 0) {
        try {
            module.code_cache.push_back({qualname, line, code});
            Py_INCREF(code);   // the cache's own reference
        } catch (const std::bad_alloc &) {
            // Not kept; the next failure at this line makes it again.
        }
    }
    return code;
}

}  // namespace

std::nullptr_t add_traceback(const TraceFunction &fn, int line) noexcept
{
    ModuleData &module = *fn.module;
    Ref frame;
    {
        ErrorStash pending;   // the code object and frame are made with no exception set
        Ref code = Ref::steal(code_for(module, fn.qualname, line));
        if (code)
            frame = Ref::steal(reinterpret_cast<PyObject *>(PyFrame_New(
                PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.get()),
                module.dict, nullptr)));
        PyErr_Clear();   // a failure to make the entry must not replace the error
    }
    if (frame && PyErr_Occurred())
        PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
    return nullptr;
}

}  // namespace accel::frame
