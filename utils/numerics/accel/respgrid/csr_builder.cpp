// csr_builder.cpp: the growing rows of a CSR result and their final arrays.
//
// The result is np.asarray(list, dtype=...) of three lists of Python ints and
// floats. With NumPy's own asarray and dtype that array is a new contiguous
// array holding exactly the list's values, so it is filled directly from the
// collected numbers: no Python object per entry. With anything else bound to
// np (or a column position beyond int32, whose error NumPy gives), the list
// is built and handed over as it is.
#include "respgrid/csr_builder.hpp"

#include "frame/convert.hpp"
#include "respgrid/module.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <limits>
#include <type_traits>

namespace accel::respgrid {
namespace {

using frame::Ref;

/// The list of Python ints (or floats) holding `values`.
template <typename T>
Ref python_list(const frame::RawVector<T> &values)
{
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list)
        return {};
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject *item;
        if constexpr (std::is_floating_point_v<T>)
            item = PyFloat_FromDouble(values[i]);
        else
            item = PyLong_FromLongLong(values[i]);
        if (!item)
            return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);   // steals
    }
    return list;
}

/// A new array of `values` converted to Element, made by NumPy's own empty
/// with `dtype`.
template <typename Element, typename T>
Ref filled_array(const frame::RawVector<T> &values, PyObject *dtype)
{
    Ref size = Ref::steal(PyLong_FromSize_t(values.size()));
    if (!size)
        return {};
    Ref array = frame::call_with_keyword(numpy_originals.empty, size.get(), name::dtype, dtype);
    if (!array)
        return {};
    Py_buffer buffer;
    if (PyObject_GetBuffer(array.get(), &buffer, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0)
        return {};
    auto *out = static_cast<Element *>(buffer.buf);
    if constexpr (std::is_same_v<Element, T>) {
        if (!values.empty())   // memcpy's pointers must not be null, even for no bytes
            std::memcpy(out, values.data(), values.size() * sizeof(T));
    } else {
        for (std::size_t i = 0; i < values.size(); ++i)
            out[i] = static_cast<Element>(values[i]);
    }
    PyBuffer_Release(&buffer);
    return array;
}

/// np.asarray(<values as a list>, dtype=np.<dtype>).
template <typename Element, typename T>
Ref to_array(const frame::RawVector<T> &values, const frame::InternedName &dtype_name,
             PyObject *numpy_dtype, bool fits)
{
    Ref asarray = frame::lookup_global_attr(module_data, name::np, name::asarray);
    if (!asarray)
        return {};
    Ref dtype = frame::lookup_global_attr(module_data, name::np, dtype_name);
    if (!dtype)
        return {};
    if (fits && asarray.get() == numpy_originals.asarray && dtype.get() == numpy_dtype)
        return filled_array<Element>(values, dtype.get());
    Ref list = python_list(values);
    if (!list)
        return {};
    return frame::call_with_keyword(asarray.get(), list.get(), name::dtype, dtype.get());
}

/// Room for `more` elements, growing geometrically like a list.
template <typename T>
bool make_room(frame::RawVector<T> &values, std::size_t more) noexcept
{
    const std::size_t needed = values.size() + more;
    if (needed <= values.capacity())
        return true;
    try {
        values.reserve(std::max(needed, 2 * values.capacity()));
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

}  // namespace

CsrBuilder::Full CsrBuilder::add_row(frame::Strided1D row, double threshold) noexcept
{
    std::size_t count = 0;
    for (std::int64_t k = 0; k < row.n; ++k)
        count += row[k] > threshold;
    if (!make_room(col_indices_, count))
        return Full::col_indices;
    if (!make_room(values_, count))
        return Full::values;
    if (!make_room(indptr_, 1))
        return Full::indptr;
    for (std::int64_t k = 0; k < row.n; ++k) {
        const double entry = row[k];
        if (entry > threshold) {
            col_indices_.push_back(k);
            values_.push_back(entry);
            max_column_ = std::max(max_column_, k);
        }
    }
    indptr_.push_back(static_cast<std::int64_t>(values_.size()));
    return Full::none;
}

Ref CsrBuilder::indptr_array() const
{
    return to_array<std::int64_t>(indptr_, name::int64, numpy_originals.int64, true);
}

Ref CsrBuilder::col_indices_array() const
{
    // Positions beyond int32 are NumPy's to refuse, from the list.
    const bool fits = max_column_ <= std::numeric_limits<std::int32_t>::max();
    return to_array<std::int32_t>(col_indices_, name::int32, numpy_originals.int32, fits);
}

Ref CsrBuilder::values_array() const
{
    return to_array<double>(values_, name::float64, numpy_originals.float64, true);
}

}  // namespace accel::respgrid
