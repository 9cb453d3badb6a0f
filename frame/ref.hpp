// ref.hpp: owning handles for interpreter resources.
//
// A Ref owns exactly one reference; a raw PyObject * anywhere else in the
// code is borrowed. ErrorStash sets a pending exception aside for the life of
// a scope, so that cleanup which may run Python code (buffer release, decref
// of arbitrary objects) never runs with an exception set. GilRelease drops the
// interpreter lock for the life of a scope.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace accel::frame {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : obj_(other.release()) {}
    Ref &operator=(Ref &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    /// Takes over a new reference (or null, which gives an empty Ref).
    static Ref steal(PyObject *obj) noexcept { return Ref(obj); }
    /// Adds a reference to a borrowed object.
    static Ref borrow(PyObject *obj) noexcept
    {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject *get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    /// Gives up ownership without a decref.
    PyObject *release() noexcept { return std::exchange(obj_, nullptr); }
    /// Drops the current reference and takes over `obj`.
    void reset(PyObject *obj = nullptr) noexcept
    {
        PyObject *old = std::exchange(obj_, obj);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject *obj) noexcept : obj_(obj) {}
    PyObject *obj_ = nullptr;
};

/// Sets the pending exception (if any) aside until the end of the scope and
/// then restores it, replacing anything raised meanwhile.
class ErrorStash {
public:
    ErrorStash() noexcept : exc_(PyErr_GetRaisedException()) {}
    ErrorStash(const ErrorStash &) = delete;
    ErrorStash &operator=(const ErrorStash &) = delete;
    ~ErrorStash()
    {
        if (exc_)
            PyErr_SetRaisedException(exc_);   // steals
    }

private:
    PyObject *exc_;
};

/// Releases the interpreter lock for the life of the scope. No Python object
/// may be touched while it is alive.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease &) = delete;
    GilRelease &operator=(const GilRelease &) = delete;
    ~GilRelease() { PyEval_RestoreThread(state_); }

private:
    PyThreadState *state_;
};

}  // namespace accel::frame
