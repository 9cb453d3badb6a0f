// rebin_kernel.hpp: the sweep that shares old bins' counts among new bins.
//
// Each old bin j (edges old_edges[j], old_edges[j+1]) hands each new bin k
// the fraction overlap / old_width of its count, where the overlap is
// min(old_right, new_right) - max(new_left, old_left). New bins whose right
// edge lies at or left of the old bin's left edge are passed over for good,
// so with ascending edges the sweep is linear. Every comparison with a NaN is
// false, which decides where NaN edges and counts end up.
#pragma once

#include "frame/strided.hpp"

#include <cstdint>

namespace accel::rebin {

/// Adds every old bin's shares into new_counts[0 .. new_n). The caller
/// guarantees old_edges.n > old_n, counts.n >= old_n, new_edges.n > new_n and
/// new_counts.n >= new_n.
inline void rebin_sweep(frame::Strided1D old_edges, frame::Strided1D counts,
                        std::int64_t old_n, frame::Strided1D new_edges, std::int64_t new_n,
                        frame::MutStrided1D new_counts)
{
    std::int64_t i = 0;   // first new bin that can still receive counts
    for (std::int64_t j = 0; j < old_n; ++j) {
        const double old_left = old_edges[j];
        const double old_right = old_edges[j + 1];
        const double old_width = old_right - old_left;
        if (old_width <= 0)
            continue;   // empty or reversed: its count is dropped (a NaN width goes on)
        while (i < new_n && new_edges[i + 1] <= old_left)
            ++i;
        for (std::int64_t k = i; k < new_n && new_edges[k] < old_right; ++k) {
            const double new_left = new_edges[k];
            const double new_right = new_edges[k + 1];
            const double upper = old_right > new_right ? new_right : old_right;
            const double lower = new_left > old_left ? new_left : old_left;
            const double overlap = upper - lower;
            if (overlap > 0)
                new_counts[k] = new_counts[k] + (overlap / old_width) * counts[j];
        }
    }
}

}  // namespace accel::rebin
