// csr_builder.hpp: the growing rows of a CSR result and their final arrays.
#pragma once

#include "frame/raw_allocator.hpp"
#include "frame/ref.hpp"
#include "frame/strided.hpp"

#include <cstdint>

namespace accel::respgrid {

/// Collects the entries of each row above a threshold: their column
/// positions, their values and the running count that closes each row, as
/// the lists [0, ...], [...], [...] that np.asarray(..., dtype=np.int64 /
/// np.int32 / np.float64) turns into the result.
class CsrBuilder {
public:
    CsrBuilder() : indptr_{0} {}

    /// Which list could not grow.
    enum class Full { none, col_indices, values, indptr };

    /// Appends the entries of `row` above `threshold` (NaN never is) and
    /// closes the row. On memory exhaustion nothing is appended and the list
    /// that could not grow is named.
    Full add_row(frame::Strided1D row, double threshold) noexcept;

    std::size_t stored() const { return values_.size(); }

    /// np.asarray of each list, np looked up anew; null with an exception set.
    frame::Ref indptr_array() const;
    frame::Ref col_indices_array() const;
    frame::Ref values_array() const;

private:
    frame::RawVector<std::int64_t> indptr_;
    frame::RawVector<std::int64_t> col_indices_;
    frame::RawVector<double> values_;
    std::int64_t max_column_ = 0;
};

}  // namespace accel::respgrid
