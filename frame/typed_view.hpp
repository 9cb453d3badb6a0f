// typed_view.hpp: typed views over any buffer exporter.
//
// A TypedView is a strided window of up to eight dimensions over the buffer
// of some object, declared writable ("double") or read-only ("const double").
// The buffer is held by a view object (the owner), which counts the views
// that refer to it with an atomic acquisition count and gives the buffer back
// when its last reference goes. The owner exports the buffer again, so it can
// be handed to NumPy. The view of None has no owner, no data and length 0.
#pragma once

#include "frame/buffer_checks.hpp"
#include "frame/element_type.hpp"
#include "frame/strided.hpp"

namespace accel::frame {

struct ViewOwner;

class TypedView {
public:
    TypedView() noexcept = default;   // the view of None
    TypedView(const TypedView &other) noexcept;
    TypedView &operator=(const TypedView &other) noexcept;
    ~TypedView() { release(); }

    /// Takes one acquisition off the owner and drops the reference to it.
    void release() noexcept;

    /// The view object holding the buffer (borrowed), or null for None.
    PyObject *owner() const noexcept;
    Py_ssize_t length() const noexcept { return layout_.shape[0]; }
    Py_ssize_t stride(int axis) const noexcept { return layout_.strides[axis]; }

    /// Bounds-tested indexing: the address of element i on `axis` (a negative
    /// i counts from the end), or null with IndexError.
    char *at(int axis, Py_ssize_t i) const noexcept;

    Strided1D as_1d() const noexcept { return {data_, length(), stride(0)}; }
    MutStrided1D as_mut_1d() const noexcept { return {data_, length(), stride(0)}; }

private:
    friend bool acquire_view(PyObject *, int, const ElementType &, TypedView &);
    ViewOwner *owner_ = nullptr;
    char *data_ = nullptr;
    Layout layout_{};
};

/// Takes `obj` (None, a view object or any buffer exporter) as a view of
/// `ndim` dimensions holding `element`: writable for double_element,
/// read-only for const_double_element. Releases what `out` held before.
/// False with the exporter's error or ValueError when refused.
bool acquire_view(PyObject *obj, int ndim, const ElementType &element, TypedView &out);

/// Creates the view object type once per process.
bool ready_view_type();

}  // namespace accel::frame
