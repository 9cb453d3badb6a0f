// strided.hpp: raw strided windows that kernels read and write.
//
// Free of interpreter types: a kernel that takes these runs without the
// interpreter lock. Strides are in bytes, as the buffer gives them, and may be
// negative or larger than an element.
#pragma once

#include <cstdint>

namespace accel::frame {

/// A read-only one-dimensional window of doubles.
struct Strided1D {
    const char *data;
    std::int64_t n;
    std::int64_t stride;

    double operator[](std::int64_t i) const
    {
        return *reinterpret_cast<const double *>(data + i * stride);
    }
};

/// A writable one-dimensional window of doubles.
struct MutStrided1D {
    char *data;
    std::int64_t n;
    std::int64_t stride;

    double &operator[](std::int64_t i) const
    {
        return *reinterpret_cast<double *>(data + i * stride);
    }
    operator Strided1D() const { return {data, n, stride}; }
};

}  // namespace accel::frame
