// row_interp.hpp: one response row interpolated region by region.
#pragma once

#include "frame/raw_allocator.hpp"
#include "frame/typed_view.hpp"

namespace accel::respgrid {

/// Working memory of the channel loop, reused from row to row of one call.
struct RowScratch {
    frame::RawVector<double> axis_max;
    frame::RawVector<double> regions_max;
};

/// Builds the row for incident energy E_requested from the reference rows
/// row_lo (at E_lo) and row_hi (at E_hi) into out_row, one value per entry of
/// requested_E_axis. Region boundaries come from the computing entry of
/// calculate_regions; NumPy (`np`, looked up anew) takes the maximum of the
/// axis, makes the boundary arrays and interpolates them. The channel loop
/// runs without the interpreter lock. False with an exception set and a
/// traceback entry; out_row is then untouched.
bool interpolate_response_row(double E_requested, const frame::TypedView &requested_E_axis,
                              const frame::TypedView &ref_E_axis, double E_lo,
                              const frame::TypedView &row_lo, double E_hi,
                              const frame::TypedView &row_hi, const frame::TypedView &out_row,
                              RowScratch &scratch);

}  // namespace accel::respgrid
