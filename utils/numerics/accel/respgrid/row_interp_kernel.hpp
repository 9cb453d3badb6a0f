// row_interp_kernel.hpp: the channel loop of one interpolated response row.
//
// Each output channel x is placed in region k of the requested energy's
// region boundaries (regions[k-1] < x <= regions[k]), mapped to the same
// relative position in region k of both reference rows' boundaries, read off
// each reference row by linear interpolation over ref_E_axis, and the two
// values are interpolated linearly in incident energy. Arithmetic follows the
// documented order, one rounding per operation. A value that cannot be
// placed is NaN. No interpreter calls: this runs without the interpreter lock.
#pragma once

#include "frame/strided.hpp"
#include "respgrid/search.hpp"

#include <cstdint>
#include <limits>

namespace accel::respgrid {

struct RowInputs {
    double E_requested, E_lo, E_hi;
    frame::Strided1D requested_E_axis, ref_E_axis, row_lo, row_hi;
    frame::Strided1D regions_lo, regions_hi, regions;
    frame::MutStrided1D out_row;
};

inline constexpr double unplaced = std::numeric_limits<double>::quiet_NaN();

/// Linear interpolation of `row` over `axis` at y, with m the search result
/// for y on `axis`: NaN when m <= 0.
inline double interpolate_on_axis(double y, std::int64_t m, frame::Strided1D axis,
                                  frame::Strided1D row)
{
    if (m <= 0)
        return unplaced;
    return (row[m] - row[m - 1]) * (y - axis[m - 1]) / (axis[m] - axis[m - 1]) + row[m - 1];
}

/// Fills out_row[0 .. requested_E_axis.n). The caller guarantees that row_lo
/// and row_hi hold ref_E_axis.n values, regions_lo and regions_hi
/// regions.n, out_row requested_E_axis.n, and that the scratch arrays hold
/// ref_E_axis.n and regions.n doubles.
inline void fill_row(const RowInputs &in, double *axis_scratch, double *regions_scratch)
{
    const NotBelowSearch axis(in.ref_E_axis, axis_scratch);
    const NotBelowSearch bounds(in.regions, regions_scratch);
    const frame::Strided1D &lo = in.regions_lo, &hi = in.regions_hi, &regions = in.regions;
    std::int64_t k_hint = 0, m_lo_hint = 0, m_hi_hint = 0;
    for (std::int64_t i = 0; i < in.requested_E_axis.n; ++i) {
        const double x = in.requested_E_axis[i];
        const std::int64_t k = bounds.find(x, k_hint);
        if (k < 1) {   // at or below regions[0], NaN, or past every boundary
            in.out_row[i] = unplaced;
            continue;
        }
        k_hint = k;
        const double frac = (x - regions[k - 1]) / (regions[k] - regions[k - 1]);
        const double y_hi = (hi[k] - hi[k - 1]) * frac + hi[k - 1];
        const double y_lo = (lo[k] - lo[k - 1]) * frac + lo[k - 1];
        const std::int64_t m_hi = axis.find(y_hi, m_hi_hint);
        const std::int64_t m_lo = axis.find(y_lo, m_lo_hint);
        m_hi_hint = m_hi;
        m_lo_hint = m_lo;
        const double v_hi = interpolate_on_axis(y_hi, m_hi, in.ref_E_axis, in.row_hi);
        const double v_lo = interpolate_on_axis(y_lo, m_lo, in.ref_E_axis, in.row_lo);
        in.out_row[i] = (in.E_requested - in.E_lo) * (v_hi - v_lo) / (in.E_hi - in.E_lo) + v_lo;
    }
}

}  // namespace accel::respgrid
