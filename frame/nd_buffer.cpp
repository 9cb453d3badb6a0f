// nd_buffer.cpp: float64 ndarray arguments and variables.
//
// The buffer is requested with strides and format but not as writable, so
// read-only arrays are accepted; it is checked for its number of dimensions,
// its element type and its item size, and read in place through its strides.
#include "frame/nd_buffer.hpp"

#include "frame/element_type.hpp"

namespace accel::frame {

bool NdBuffer::acquire(PyObject *obj, int ndim)
{
    release();
    if (obj == Py_None)
        return true;
    if (PyObject_GetBuffer(obj, &buffer_, PyBUF_STRIDES | PyBUF_FORMAT) < 0)
        return false;
    held_ = true;
    // Indirect buffers are refused here too: the kernels read memory directly.
    if (!check_buffer(buffer_, ndim, float64_t_element, ItemSizeMessage::signed_sizes) ||
        !check_direct(buffer_) || !layout_.read(buffer_)) {
        release();
        return false;
    }
    return true;
}

void NdBuffer::release() noexcept
{
    if (!held_)
        return;
    held_ = false;
    layout_ = Layout{};
    if (PyErr_Occurred()) {
        ErrorStash pending;
        PyBuffer_Release(&buffer_);
    } else {
        PyBuffer_Release(&buffer_);
    }
}

bool rebind_ndarray(Ref &var, NdBuffer &buffer, Ref value, int ndim, PyTypeObject *ndarray_type)
{
    if (value.get() != Py_None && !PyObject_TypeCheck(value.get(), ndarray_type)) {
        PyErr_Format(PyExc_TypeError, "%.1sCannot convert %.200s to %.200s", "",
                     Py_TYPE(value.get())->tp_name, ndarray_type->tp_name);
        return false;
    }
    buffer.release();
    if (buffer.acquire(value.get(), ndim)) {
        var = std::move(value);
        return true;
    }
    PyObject *failure = PyErr_GetRaisedException();
    if (buffer.acquire(var ? var.get() : Py_None, ndim)) {
        PyErr_SetRaisedException(failure);
        return false;
    }
    Py_XDECREF(failure);
    PyErr_SetString(PyExc_ValueError,
                    "Buffer acquisition failed on assignment; and then reacquiring the old "
                    "buffer failed too!");
    return false;
}

}  // namespace accel::frame
