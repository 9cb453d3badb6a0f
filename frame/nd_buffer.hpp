// nd_buffer.hpp: float64 ndarray arguments and variables.
#pragma once

#include "frame/buffer_checks.hpp"
#include "frame/ref.hpp"
#include "frame/strided.hpp"

namespace accel::frame {

/// The acquired buffer of a float64 ndarray with a fixed number of
/// dimensions. Starts empty; None gives the empty record (no data, extent 0
/// in every dimension). The destructor releases what it holds, with any
/// pending exception set aside meanwhile.
class NdBuffer {
public:
    NdBuffer() noexcept = default;
    NdBuffer(const NdBuffer &) = delete;
    NdBuffer &operator=(const NdBuffer &) = delete;
    ~NdBuffer() { release(); }

    /// Acquires the buffer of `obj` (None or an object with the buffer
    /// interface) as `ndim`-dimensional float64; read-only buffers are
    /// accepted. Releases what was held before. False with ValueError (or the
    /// exporter's own error) when refused.
    bool acquire(PyObject *obj, int ndim);
    void release() noexcept;

    Py_ssize_t extent(int dim) const { return layout_.shape[dim]; }
    Py_ssize_t stride(int dim) const { return layout_.strides[dim]; }
    const char *data() const { return held_ ? static_cast<const char *>(buffer_.buf) : nullptr; }

    /// The first dimension as a window for kernels.
    Strided1D as_1d() const { return {data(), extent(0), stride(0)}; }

private:
    Py_buffer buffer_{};
    Layout layout_{};   // all zero while nothing is held
    bool held_ = false;
};

/// Binds the float64 ndarray variable `var`, whose buffer is `buffer`, to
/// `value` (a new reference, consumed). `value` must be None or an instance
/// of `ndarray_type`; on failure the variable keeps its old value and buffer
/// and the call returns false with the exception set.
bool rebind_ndarray(Ref &var, NdBuffer &buffer, Ref value, int ndim,
                    PyTypeObject *ndarray_type);

}  // namespace accel::frame
