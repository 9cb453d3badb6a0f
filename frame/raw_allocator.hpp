// raw_allocator.hpp: standard containers on the interpreter's raw allocator.
//
// PyMem_RawMalloc may be called without the interpreter lock, and what it
// allocates is seen by tracemalloc, so the working memory of a kernel shows
// in the same accounts as the arrays it returns.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <new>
#include <vector>

namespace accel::frame {

template <typename T>
struct RawAllocator {
    using value_type = T;

    RawAllocator() noexcept = default;
    template <typename U>
    RawAllocator(const RawAllocator<U> &) noexcept {}

    T *allocate(std::size_t n)
    {
        if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T))
            throw std::bad_alloc();
        void *memory = PyMem_RawMalloc(n * sizeof(T));
        if (!memory)
            throw std::bad_alloc();
        return static_cast<T *>(memory);
    }
    void deallocate(T *memory, std::size_t) noexcept { PyMem_RawFree(memory); }

    template <typename U>
    bool operator==(const RawAllocator<U> &) const noexcept { return true; }
};

/// A std::vector whose storage the interpreter's allocator accounts for.
template <typename T>
using RawVector = std::vector<T, RawAllocator<T>>;

}  // namespace accel::frame
