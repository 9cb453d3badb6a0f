// rebin_merge.hpp: the walk over old and new bins together, for ascending edges.
//
// Old and new bins are walked together, always moving past the bin that ends
// first (both when they end together): every pair of bins with a positive
// overlap is met, in ascending order of old bins for each new bin, and each
// contribution is computed by the same operations as in the general sweep,
// so the result is identical to it. The caller guarantees contiguous arrays
// and finite, non-decreasing edges.
//
// The vector loop takes no data-dependent branch: choices are made with
// comparison masks, the next edges are loaded a step ahead, and the current
// new bin's sum stays in a register (adding -0.0 where nothing is added
// leaves every value, -0.0 included, as it is). It is a template over how a
// mask selects, so that a translation unit built for SSE4.1 can instantiate
// it with blendvpd; the anonymous namespace keeps each instantiation to the
// translation unit, and instruction set, that made it.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace accel::rebin {

/// Where the walk stands: pair (j, k) is the next to visit, and `sum` is the
/// value of new bin k, also stored in new_counts[k]. The walk reads edges up
/// to old_edges[old_ok] and new_edges[new_ok] only: those known to be finite
/// and non-decreasing.
struct MergeWalk {
    const double *old_edges, *counts;
    std::int64_t old_n;
    const double *new_edges;
    std::int64_t new_n;
    double *new_counts;
    std::int64_t j, k;
    double sum;
    std::int64_t old_ok, new_ok;
};

namespace {

/// One pair. Reads old_edges[j + 1] and new_edges[k + 1]; j < old_n, k < new_n.
inline void merge_step(MergeWalk &w)
{
    const std::int64_t j = w.j, k = w.k;
    const double old_left = w.old_edges[j], old_right = w.old_edges[j + 1];
    const double new_left = w.new_edges[k], new_right = w.new_edges[k + 1];
    const double upper = old_right > new_right ? new_right : old_right;
    const double lower = new_left > old_left ? new_left : old_left;
    const double overlap = upper - lower;
    if (overlap > 0)
        w.sum = w.sum + (overlap / (old_right - old_left)) * w.counts[j];
    w.new_counts[k] = w.sum;
    const bool past_old = old_right <= new_right, past_new = new_right <= old_right;
    w.j += past_old;
    w.k += past_new;
    if (past_new && w.k < w.new_n)
        w.sum = w.new_counts[w.k];
}

#if defined(__SSE2__)
/// mask ? a : b with SSE2 logic.
struct MaskSelect {
    static __m128d apply(__m128d mask, __m128d a, __m128d b)
    {
        return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
    }
};

/// Walks on while old_edges[j + 3] and new_edges[k + 3] are known good: a
/// step reads the edges two places on, after moving by at most one.
template <typename Select>
void merge_vector(MergeWalk &w)
{
    const std::int64_t old_stop = w.old_ok - 3, new_stop = w.new_ok - 3;
    std::int64_t j = w.j, k = w.k;
    if (j > old_stop || k > new_stop)
        return;
    const double *old_edges = w.old_edges, *new_edges = w.new_edges, *counts = w.counts;
    double *new_counts = w.new_counts;
    const __m128d zero = _mm_setzero_pd(), minus_zero = _mm_set_sd(-0.0);
    __m128d old_right = _mm_load_sd(old_edges + j + 1), old_next = _mm_load_sd(old_edges + j + 2);
    __m128d new_right = _mm_load_sd(new_edges + k + 1), new_next = _mm_load_sd(new_edges + k + 2);
    __m128d next_sum = _mm_load_sd(new_counts + k + 1);
    __m128d total = _mm_set_sd(w.sum);
    while (j <= old_stop && k <= new_stop) {
        const __m128d old_left = _mm_load_sd(old_edges + j);
        const __m128d new_left = _mm_load_sd(new_edges + k);
        const __m128d old_width = _mm_sub_sd(old_right, old_left);
        // min(new_right, old_right) is old_right > new_right ? new_right : old_right,
        // max(new_left, old_left) is new_left > old_left ? new_left : old_left.
        const __m128d overlap =
            _mm_sub_sd(_mm_min_sd(new_right, old_right), _mm_max_sd(new_left, old_left));
        const __m128d share =
            _mm_mul_sd(_mm_div_sd(overlap, old_width), _mm_load_sd(counts + j));
        const __m128d positive = _mm_cmpgt_sd(overlap, zero);
        total = _mm_add_sd(total, Select::apply(positive, share, minus_zero));
        _mm_store_sd(new_counts + k, total);

        const __m128d past_old = _mm_cmple_sd(old_right, new_right);
        const __m128d past_new = _mm_cmple_sd(new_right, old_right);
        j += _mm_movemask_pd(past_old) & 1;
        k += _mm_movemask_pd(past_new) & 1;
        old_right = Select::apply(past_old, old_next, old_right);
        new_right = Select::apply(past_new, new_next, new_right);
        old_next = _mm_load_sd(old_edges + j + 2);
        new_next = _mm_load_sd(new_edges + k + 2);
        total = Select::apply(past_new, next_sum, total);
        next_sum = _mm_load_sd(new_counts + k + 1);
    }
    w.j = j;
    w.k = k;
    w.sum = _mm_cvtsd_f64(total);
}
#endif

}  // namespace

/// merge_vector with SSE4.1's blendvpd (rebin_merge_sse41.cpp); call only
/// where the processor has SSE4.1.
void merge_vector_sse41(MergeWalk &w);

}  // namespace accel::rebin
