// typed_view.cpp: view objects and typed views over any buffer exporter.
//
// The owner holds the exporter's buffer from its creation until its
// deallocation. Each TypedView holds one reference to its owner and one
// acquisition; acquisitions are counted atomically so that views may be
// copied and released in code that runs without the interpreter lock. The
// reference itself is only dropped with the lock held.
#include "frame/typed_view.hpp"

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

namespace accel::frame {

struct ViewOwner {
    PyObject_HEAD
    Py_buffer buffer;                      // the exporter's, released at deallocation
    bool holds_buffer;
    const ElementType *element;
    std::atomic<std::int32_t> acquisitions;
    Layout layout;
};

namespace {

PyTypeObject *view_type = nullptr;   // created once, never released

ViewOwner *as_owner(PyObject *obj)
{
    return reinterpret_cast<ViewOwner *>(obj);
}

void owner_dealloc(PyObject *self)
{
    ViewOwner *owner = as_owner(self);
    PyTypeObject *type = Py_TYPE(self);
    if (owner->holds_buffer) {
        owner->holds_buffer = false;
        ErrorStash pending;   // the exporter's release may run Python code
        PyBuffer_Release(&owner->buffer);
    }
    owner->acquisitions.~atomic();
    type->tp_free(self);
    Py_DECREF(type);
}

/// Exports the held buffer again: the same memory, as 8-byte doubles,
/// read-only for a "const double" owner.
int owner_getbuffer(PyObject *self, Py_buffer *view, int flags)
{
    ViewOwner *owner = as_owner(self);
    const Py_buffer &held = owner->buffer;
    const bool readonly = held.readonly || owner->element == &const_double_element;
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE && readonly) {
        PyErr_SetString(PyExc_BufferError, "Object is not writable.");
        return -1;
    }
    Py_buffer probe = held;   // layout as this owner reads it, for the contiguity test
    probe.shape = owner->layout.shape;
    probe.strides = owner->layout.strides;
    probe.suboffsets = nullptr;
    if ((flags & PyBUF_STRIDES) != PyBUF_STRIDES && !PyBuffer_IsContiguous(&probe, 'C')) {
        PyErr_SetString(PyExc_BufferError, "view is not C-contiguous");
        return -1;
    }
    view->obj = Py_NewRef(self);
    view->buf = held.buf;
    view->len = held.len;
    view->itemsize = held.itemsize;
    view->readonly = readonly;
    view->ndim = held.ndim;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char *>("d") : nullptr;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? owner->layout.shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? owner->layout.strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

PyType_Slot view_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(owner_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void *>(owner_getbuffer)},
    {0, nullptr},
};

PyType_Spec view_spec = {
    .name = "vantor.utils.numerics.accel.typed_view",
    .basicsize = sizeof(ViewOwner),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = view_slots,
};

/// A new view object over the buffer of `obj`, checked against `ndim` and
/// `element`; null with an exception set.
PyObject *new_owner(PyObject *obj, int ndim, const ElementType &element)
{
    Ref self = Ref::steal(PyType_GenericAlloc(view_type, 0));
    if (!self)
        return nullptr;
    ViewOwner *owner = as_owner(self.get());
    new (&owner->acquisitions) std::atomic<std::int32_t>(0);
    owner->element = &element;
    const int writable = &element == &const_double_element ? 0 : PyBUF_WRITABLE;
    if (PyObject_GetBuffer(obj, &owner->buffer, PyBUF_STRIDES | PyBUF_FORMAT | writable) < 0)
        return nullptr;
    owner->holds_buffer = true;
    if (!check_buffer(owner->buffer, ndim, element, ItemSizeMessage::unsigned_sizes) ||
        !check_direct(owner->buffer) || !owner->layout.read(owner->buffer))
        return nullptr;   // the owner releases the buffer as it goes
    return self.release();
}

}  // namespace

TypedView::TypedView(const TypedView &other) noexcept
    : owner_(other.owner_), data_(other.data_), layout_(other.layout_)
{
    if (owner_) {
        owner_->acquisitions.fetch_add(1, std::memory_order_relaxed);
        Py_INCREF(owner_);
    }
}

TypedView &TypedView::operator=(const TypedView &other) noexcept
{
    if (this != &other) {
        TypedView copy(other);
        release();
        std::swap(owner_, copy.owner_);
        data_ = copy.data_;
        layout_ = copy.layout_;
    }
    return *this;
}

void TypedView::release() noexcept
{
    ViewOwner *owner = std::exchange(owner_, nullptr);
    data_ = nullptr;
    layout_ = Layout{};
    if (!owner)
        return;
    owner->acquisitions.fetch_sub(1, std::memory_order_acq_rel);
    const bool had_lock = PyGILState_Check();
    PyGILState_STATE state{};
    if (!had_lock)
        state = PyGILState_Ensure();
    if (PyErr_Occurred()) {
        ErrorStash pending;
        Py_DECREF(owner);
    } else {
        Py_DECREF(owner);
    }
    if (!had_lock)
        PyGILState_Release(state);
}

PyObject *TypedView::owner() const noexcept
{
    return reinterpret_cast<PyObject *>(owner_);
}

char *TypedView::at(int axis, Py_ssize_t i) const noexcept
{
    const Py_ssize_t n = layout_.shape[axis];
    if (i < 0)
        i += n;
    if (i < 0 || i >= n) {
        PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
        return nullptr;
    }
    return data_ + i * layout_.strides[axis];
}

bool acquire_view(PyObject *obj, int ndim, const ElementType &element, TypedView &out)
{
    out.release();
    if (obj == Py_None)
        return true;
    PyObject *owner_obj;
    if (Py_IS_TYPE(obj, view_type) && as_owner(obj)->element == &element &&
        as_owner(obj)->buffer.ndim == ndim) {
        owner_obj = Py_NewRef(obj);   // taken over as it is
    } else {
        owner_obj = new_owner(obj, ndim, element);
        if (!owner_obj)
            return false;
    }
    ViewOwner *owner = as_owner(owner_obj);
    owner->acquisitions.fetch_add(1, std::memory_order_relaxed);
    out.owner_ = owner;
    out.data_ = static_cast<char *>(owner->buffer.buf);
    out.layout_ = owner->layout;
    return true;
}

bool ready_view_type()
{
    if (view_type)
        return true;
    view_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&view_spec));
    return view_type != nullptr;
}

}  // namespace accel::frame
