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

/// rebin_sweep for contiguous arrays whose old and new edges are finite and
/// never decrease, with old_n and new_n at least 1. Old and new bins are
/// walked together, always moving past the bin that ends first (both when
/// they end together), so every pair with a positive overlap is met, in
/// ascending order of old bins for each new bin; each contribution is
/// computed by the same operations as in rebin_sweep. The result is
/// identical.
///
/// The walk takes no data-dependent branch: on SSE2 the choices are made
/// with comparison masks, the next edges are loaded one step ahead, and the
/// current new bin's sum stays in a register (adding -0.0 where nothing is
/// added leaves every value, -0.0 included, as it is).
inline void rebin_ascending(const double *old_edges, const double *counts, std::int64_t old_n,
                            const double *new_edges, std::int64_t new_n, double *new_counts)
{
    std::int64_t j = 0, k = 0;
    double sum = new_counts[0];
#if defined(__SSE2__)
    if (old_n > 2 && new_n > 2) {
        // Reads old_edges[j + 2], new_edges[k + 2] and new_counts[k + 1]:
        // stops two bins before either end and leaves the rest to the loop below.
        const auto select = [](__m128d mask, __m128d a, __m128d b) {
            return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
        };
        const __m128d zero = _mm_setzero_pd(), minus_zero = _mm_set_sd(-0.0);
        __m128d old_right = _mm_load_sd(old_edges + 1), old_next = _mm_load_sd(old_edges + 2);
        __m128d new_right = _mm_load_sd(new_edges + 1), new_next = _mm_load_sd(new_edges + 2);
        __m128d next_sum = _mm_load_sd(new_counts + 1);
        __m128d total = _mm_set_sd(sum);
        while (j < old_n - 2 && k < new_n - 2) {
            const __m128d old_left = _mm_load_sd(old_edges + j);
            const __m128d new_left = _mm_load_sd(new_edges + k);
            const __m128d old_width = _mm_sub_sd(old_right, old_left);
            // min(new_right, old_right) is old_right > new_right ? new_right : old_right,
            // max(new_left, old_left) is new_left > old_left ? new_left : old_left.
            const __m128d overlap = _mm_sub_sd(_mm_min_sd(new_right, old_right),
                                               _mm_max_sd(new_left, old_left));
            const __m128d share = _mm_mul_sd(_mm_div_sd(overlap, old_width),
                                             _mm_load_sd(counts + j));
            const __m128d positive = _mm_cmpgt_sd(overlap, zero);
            total = _mm_add_sd(total, select(positive, share, minus_zero));
            _mm_store_sd(new_counts + k, total);

            const __m128d past_old = _mm_cmple_sd(old_right, new_right);
            const __m128d past_new = _mm_cmple_sd(new_right, old_right);
            j += _mm_movemask_pd(past_old) & 1;
            k += _mm_movemask_pd(past_new) & 1;
            old_right = select(past_old, old_next, old_right);
            new_right = select(past_new, new_next, new_right);
            old_next = _mm_load_sd(old_edges + j + 2);
            new_next = _mm_load_sd(new_edges + k + 2);
            total = select(past_new, next_sum, total);
            next_sum = _mm_load_sd(new_counts + k + 1);
        }
        sum = _mm_cvtsd_f64(total);
    }
#endif
    while (j < old_n && k < new_n) {
        const double old_left = old_edges[j], old_right = old_edges[j + 1];
        const double new_left = new_edges[k], new_right = new_edges[k + 1];
        const double upper = old_right > new_right ? new_right : old_right;
        const double lower = new_left > old_left ? new_left : old_left;
        const double overlap = upper - lower;
        if (overlap > 0)
            sum = sum + (overlap / (old_right - old_left)) * counts[j];
        new_counts[k] = sum;
        const bool past_old = old_right <= new_right, past_new = new_right <= old_right;
        j += past_old;
        k += past_new;
        if (past_new && k < new_n)
            sum = new_counts[k];
    }
}

}  // namespace accel::rebin
