// buffer_checks.hpp: checks and layout shared by ndarray buffers and views.
#pragma once

#include "frame/element_type.hpp"
#include "frame/ref.hpp"

namespace accel::frame {

inline constexpr int max_dims = 8;

/// The two item-size messages differ only in how they print sizes.
enum class ItemSizeMessage { signed_sizes, unsigned_sizes };

/// Number of dimensions `ndim`, the format string against `element`, then an
/// item size of 8. False with ValueError otherwise.
bool check_buffer(const Py_buffer &buffer, int ndim, const ElementType &element,
                  ItemSizeMessage sizes);

/// Refuses a buffer with indirect dimensions (suboffsets of 0 or more), or
/// with suboffsets but no strides. False with ValueError.
bool check_direct(const Py_buffer &buffer);

/// Extents and byte strides of an accepted buffer, copied out of it: an
/// exporter that fills in no shape for one dimension has len / itemsize
/// elements, and one that fills in no strides is C-contiguous. The buffer
/// record itself is never modified, since its exporter releases it.
struct Layout {
    Py_ssize_t shape[max_dims]{};
    Py_ssize_t strides[max_dims]{};

    /// False with ValueError when a multi-dimensional buffer gives no shape.
    bool read(const Py_buffer &buffer);
};

}  // namespace accel::frame
