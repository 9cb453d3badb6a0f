// buffer_checks.cpp: checks and layout shared by ndarray buffers and views.
#include "frame/buffer_checks.hpp"

#include "frame/format_check.hpp"

namespace accel::frame {

bool check_buffer(const Py_buffer &buffer, int ndim, const ElementType &element,
                  ItemSizeMessage sizes)
{
    if (buffer.ndim != ndim) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                     buffer.ndim);
        return false;
    }
    if (!check_format(buffer.format, element))
        return false;
    constexpr Py_ssize_t size = 8;
    if (buffer.itemsize != size) {
        const char *plural = buffer.itemsize > 1 ? "s" : "";
        if (sizes == ItemSizeMessage::signed_sizes)
            PyErr_Format(PyExc_ValueError,
                         "Item size of buffer (%zd byte%s) does not match size of '%s' "
                         "(%zd byte%s)",
                         buffer.itemsize, plural, element.name, size, "s");
        else
            PyErr_Format(PyExc_ValueError,
                         "Item size of buffer (%zu byte%s) does not match size of '%s' "
                         "(%zu byte%s)",
                         static_cast<size_t>(buffer.itemsize), plural, element.name,
                         static_cast<size_t>(size), "s");
        return false;
    }
    return true;
}

bool check_direct(const Py_buffer &buffer)
{
    if (!buffer.suboffsets || buffer.len <= 0)
        return true;
    for (int d = 0; d < buffer.ndim; ++d) {
        const Py_ssize_t extent = buffer.shape ? buffer.shape[d] : 0;
        if (extent > 1 && !buffer.strides) {
            PyErr_SetString(PyExc_ValueError, "Buffer exposes suboffsets but no strides");
            return false;
        }
        if (buffer.suboffsets[d] >= 0) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer not compatible with direct access in dimension %d.", d);
            return false;
        }
    }
    return true;
}

bool Layout::read(const Py_buffer &buffer)
{
    const int ndim = buffer.ndim;
    if (buffer.shape) {
        for (int d = 0; d < ndim; ++d)
            shape[d] = buffer.shape[d];
    } else if (ndim == 1) {
        shape[0] = buffer.len / buffer.itemsize;
    } else if (ndim > 1) {
        PyErr_SetString(PyExc_ValueError, "Buffer has no shape");
        return false;
    }
    if (buffer.strides) {
        for (int d = 0; d < ndim; ++d)
            strides[d] = buffer.strides[d];
    } else {
        Py_ssize_t step = buffer.itemsize;
        for (int d = ndim - 1; d >= 0; --d) {
            strides[d] = step;
            step *= shape[d];
        }
    }
    return true;
}

}  // namespace accel::frame
