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
#include "rebin/rebin_merge.hpp"

#include <algorithm>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
        for (std::int64_t k = i; k < new_n && new_edges[k] < old_right; ++k)
            add_share(new_counts[k], old_left, old_right, old_width, new_edges[k],
                      new_edges[k + 1], counts[j]);
    }
}

/// True when edges[0 .. n] (contiguous) are finite and never decrease. Edges
/// that never decrease lie between the first and the last, so only those two
/// need to be finite; a NaN fails the comparison with its neighbour.
inline bool finite_ascending(const double *edges, std::int64_t n)
{
    const auto finite = [](double x) { return x - x == 0.0; };   // NaN for an infinity or NaN
    if (!finite(edges[0]) || !finite(edges[n]))
        return false;
    std::int64_t i = 0;
#if defined(__SSE2__)
    // Four neighbouring pairs per step, with an exit test every 4096 edges.
    while (i + 4 <= n) {
        const std::int64_t stop = std::min<std::int64_t>(i + 4096, n - 3);
        __m128d bad_low = _mm_setzero_pd(), bad_high = _mm_setzero_pd();
        for (; i < stop; i += 4) {
            bad_low = _mm_or_pd(bad_low, _mm_cmpnle_pd(_mm_loadu_pd(edges + i),
                                                       _mm_loadu_pd(edges + i + 1)));
            bad_high = _mm_or_pd(bad_high, _mm_cmpnle_pd(_mm_loadu_pd(edges + i + 2),
                                                         _mm_loadu_pd(edges + i + 3)));
        }
        if (_mm_movemask_pd(_mm_or_pd(bad_low, bad_high)))
            return false;
    }
#endif
    for (; i < n; ++i)
        if (!(edges[i] <= edges[i + 1]))
            return false;
    return true;
}

/// The walk of rebin_merge.hpp for contiguous arrays with old_n and new_n at
/// least 1, when both edge arrays are finite and non-decreasing (one pass
/// checks) and there are enough bins to share among the lanes: the same
/// result as rebin_sweep. False, with nothing written, otherwise.
inline bool rebin_ascending(const Bins &bins)
{
    constexpr std::int64_t few_bins = 1024;   // below this the sweep is as fast
    if (bins.old_n + bins.new_n < few_bins || !finite_ascending(bins.old_edges, bins.old_n) ||
        !finite_ascending(bins.new_edges, bins.new_n))
        return false;
    Lane lanes[lane_count];
    const int used = split_lanes(bins, lanes);
#if defined(__SSE2__)
    if (used == lane_count) {
#if defined(ACCEL_SSE41_MERGE)
        static const bool has_sse41 = __builtin_cpu_supports("sse4.1");
        if (has_sse41)
            walk_lanes_sse41(bins, lanes);
        else
            walk_lanes<MaskSelect>(bins, lanes);
#else
        walk_lanes<MaskSelect>(bins, lanes);
#endif
    }
#endif
    for (int t = 0; t < used; ++t)
        finish_lane(bins, lanes[t]);
    return true;
}

}  // namespace accel::rebin
