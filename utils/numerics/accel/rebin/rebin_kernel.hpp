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

/// Adds old bin j's shares to the new bins from k_start on, while their left
/// edge lies below the old bin's right edge.
inline void walk_old_bin(frame::Strided1D old_edges, frame::Strided1D counts, std::int64_t j,
                         frame::Strided1D new_edges, std::int64_t new_n,
                         frame::MutStrided1D new_counts, std::int64_t k_start)
{
    const double old_left = old_edges[j];
    const double old_right = old_edges[j + 1];
    const double old_width = old_right - old_left;
    for (std::int64_t k = k_start; k < new_n && new_edges[k] < old_right; ++k) {
        const double new_left = new_edges[k];
        const double new_right = new_edges[k + 1];
        const double upper = old_right > new_right ? new_right : old_right;
        const double lower = new_left > old_left ? new_left : old_left;
        const double overlap = upper - lower;
        if (overlap > 0)
            new_counts[k] = new_counts[k] + (overlap / old_width) * counts[j];
    }
}

/// Adds every old bin's shares into new_counts[0 .. new_n), from old bin
/// j_start on with i = i_start (0 and 0 for the whole sweep). The caller
/// guarantees old_edges.n > old_n, counts.n >= old_n, new_edges.n > new_n and
/// new_counts.n >= new_n.
inline void rebin_sweep(frame::Strided1D old_edges, frame::Strided1D counts,
                        std::int64_t old_n, frame::Strided1D new_edges, std::int64_t new_n,
                        frame::MutStrided1D new_counts, std::int64_t j_start = 0,
                        std::int64_t i_start = 0)
{
    std::int64_t i = i_start;   // first new bin that can still receive counts
    for (std::int64_t j = j_start; j < old_n; ++j) {
        const double old_left = old_edges[j];
        const double old_right = old_edges[j + 1];
        const double old_width = old_right - old_left;
        if (old_width <= 0)
            continue;   // empty or reversed: its count is dropped (a NaN width goes on)
        while (i < new_n && new_edges[i + 1] <= old_left)
            ++i;
        walk_old_bin(old_edges, counts, j, new_edges, new_n, new_counts, i);
    }
}

/// True when edges[0 .. n] (contiguous) are finite and never decrease.
inline bool finite_ascending(const double *edges, std::int64_t n)
{
    std::int64_t i = 0;
#if defined(__SSE2__)
    // Two neighbouring pairs per step, with an exit test every 1024 edges.
    const __m128d zero = _mm_setzero_pd();
    while (i + 2 <= n) {
        const std::int64_t stop = std::min<std::int64_t>(i + 1024, n - 1);
        __m128d bad = zero;
        for (; i < stop; i += 2) {
            const __m128d here = _mm_loadu_pd(edges + i), next = _mm_loadu_pd(edges + i + 1);
            bad = _mm_or_pd(bad, _mm_cmpnle_pd(here, next));   // descending, or NaN
            bad = _mm_or_pd(bad, _mm_cmpneq_pd(_mm_sub_pd(here, here), zero));   // infinite
        }
        if (_mm_movemask_pd(bad))
            return false;
    }
#endif
    for (; i < n; ++i)
        if (!(edges[i] <= edges[i + 1]) || !(edges[i] - edges[i] == 0.0))
            return false;
    return edges[n] - edges[n] == 0.0;   // NaN for an infinity or NaN
}

/// Extends `ok`, the last index of `edges` (edges[0 .. last]) known to be
/// finite and non-decreasing, by up to `block` edges. False when the next
/// block is not.
inline bool verify_block(const double *edges, std::int64_t last, std::int64_t &ok,
                         std::int64_t block)
{
    const std::int64_t to = std::min(ok + block, last);
    // From the last good edge on, so that the step across the join is checked.
    const std::int64_t from = ok < 0 ? 0 : ok;
    if (!finite_ascending(edges + from, to - from))
        return false;
    ok = to;
    return true;
}

/// Continues with the general sweep where the walk stands, at pair (j, k):
/// the walk has added every pair before it and reached new bin k only over
/// edges known to be good, up to new_edges[k]. The sweep would be at old
/// bin j with i at the first new bin ending after the left edge of the last
/// old bin of positive width before j (0 if none); if pairs of old bin j
/// were added already (its first bin, found the same way, lies before k),
/// old bin j is finished from k and the sweep goes on from j + 1.
inline void hand_over_to_sweep(const MergeWalk &w)
{
    const auto window = [](const double *data, std::int64_t n) {
        return frame::Strided1D{reinterpret_cast<const char *>(data), n,
                                static_cast<std::int64_t>(sizeof(double))};
    };
    const frame::Strided1D old_edges = window(w.old_edges, w.old_n + 1),
                           counts = window(w.counts, w.old_n),
                           new_edges = window(w.new_edges, w.new_n + 1);
    const frame::MutStrided1D new_counts{reinterpret_cast<char *>(w.new_counts), w.new_n,
                                         static_cast<std::int64_t>(sizeof(double))};
    const std::int64_t j = w.j, k = w.k;
    const auto first_bin_ending_after = [&](double edge) {
        std::int64_t t = k;
        while (t > 0 && new_edges[t] > edge)
            --t;
        return t;
    };
    std::int64_t last_wide = j - 1;
    while (last_wide >= 0 && !(old_edges[last_wide + 1] - old_edges[last_wide] > 0))
        --last_wide;
    const std::int64_t i_before = last_wide < 0 ? 0 : first_bin_ending_after(old_edges[last_wide]);
    if (old_edges[j + 1] - old_edges[j] > 0) {
        const std::int64_t i_j = first_bin_ending_after(old_edges[j]);
        if (i_j < k) {
            walk_old_bin(old_edges, counts, j, new_edges, w.new_n, new_counts, k);
            rebin_sweep(old_edges, counts, w.old_n, new_edges, w.new_n, new_counts, j + 1, i_j);
            return;
        }
    }
    rebin_sweep(old_edges, counts, w.old_n, new_edges, w.new_n, new_counts, j, i_before);
}

/// rebin_sweep for contiguous arrays with old_n and new_n at least 1: the
/// same result. While the edges are finite and non-decreasing (checked a
/// block ahead, so that the walk then reads them from cache) the walk of
/// rebin_merge.hpp adds the pairs; where a block is not, the general sweep
/// takes over from the point the walk has reached.
inline void rebin_contiguous(const double *old_edges, const double *counts, std::int64_t old_n,
                             const double *new_edges, std::int64_t new_n, double *new_counts,
                             std::int64_t block = 4096)
{
    MergeWalk w{old_edges, counts, old_n, new_edges, new_n, new_counts, 0, 0, new_counts[0],
                -1, -1};
#if defined(ACCEL_SSE41_MERGE)
    static const bool has_sse41 = __builtin_cpu_supports("sse4.1");
#endif
    while (w.j < old_n && w.k < new_n) {
        if (w.j + 3 > w.old_ok && w.old_ok < old_n) {
            if (!verify_block(old_edges, old_n, w.old_ok, block))
                return hand_over_to_sweep(w);
            continue;
        }
        if (w.k + 3 > w.new_ok && w.new_ok < new_n) {
            if (!verify_block(new_edges, new_n, w.new_ok, block))
                return hand_over_to_sweep(w);
            continue;
        }
        if (w.j + 3 <= w.old_ok && w.k + 3 <= w.new_ok) {
#if defined(ACCEL_SSE41_MERGE)
            if (has_sse41)
                merge_vector_sse41(w);
            else
                merge_vector<MaskSelect>(w);
#elif defined(__SSE2__)
            merge_vector<MaskSelect>(w);
#else
            merge_step(w);
#endif
        } else {
            merge_step(w);   // at the last bin of one side, all its edges good
        }
    }
    // Past the last new bin, the remaining old bins add nothing only if their
    // edges keep ascending; one that goes back is the sweep's to place.
    while (w.j < old_n && w.old_ok < old_n)
        if (!verify_block(old_edges, old_n, w.old_ok, block))
            return hand_over_to_sweep(w);
}

}  // namespace accel::rebin
