// rebin_merge.hpp: the walk over old and new bins together, for ascending edges.
//
// With finite, non-decreasing edges the sweep is a merge. Old and new bins are
// walked together, always moving past the bin that ends first (both when they
// end together): every pair of bins with a positive overlap is met, in
// ascending order of old bins for each new bin, and each contribution is
// computed by the same operations as in the general sweep, so the result is
// identical to it.
//
// One walk waits on its own last step: the next edges to compare depend on the
// comparison just made. So the new bins are split into eight runs, and a lane
// walks each run from the first old bin that can reach it. A new bin receives
// the shares of its own lane only, in the same order as in the whole walk, so
// the lanes can run interleaved; two lanes share one register, and so one
// division instruction.
//
// The vector step takes no data-dependent branch: nothing is added where the
// overlap is not positive by adding -0.0, which leaves every value, -0.0
// included, as it is. It is a template over how a mask selects, so that a
// translation unit built for SSE4.1 can instantiate it with blendvpd; the
// anonymous namespace keeps each instantiation to the translation unit, and
// instruction set, that made it.
#pragma once

#include <algorithm>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace accel::rebin {

/// Contiguous arrays of a rebinning: old_edges[0 .. old_n], counts[0 .. old_n),
/// new_edges[0 .. new_n], new_counts[0 .. new_n).
struct Bins {
    const double *old_edges, *counts;
    std::int64_t old_n;
    const double *new_edges;
    std::int64_t new_n;
    double *new_counts;
};

/// One lane of the walk: pair (j, k) is the next to visit; the lane owns the
/// new bins before k_end and stops there or when the old bins run out.
struct Lane {
    std::int64_t j, k, k_end;

    bool done(const Bins &b) const { return j >= b.old_n || k >= k_end; }
};

constexpr int lane_count = 8;

/// Adds to new_count the share of an old bin's count (edges old_left,
/// old_right, width old_width) that falls into a new bin (new_left,
/// new_right), if they overlap: the quotient first, then the product, then
/// the sum. The one place of this arithmetic outside the vector step.
inline void add_share(double &new_count, double old_left, double old_right, double old_width,
                      double new_left, double new_right, double count)
{
    const double upper = old_right > new_right ? new_right : old_right;
    const double lower = new_left > old_left ? new_left : old_left;
    const double overlap = upper - lower;
    if (overlap > 0)
        new_count = new_count + (overlap / old_width) * count;
}

namespace {

/// One pair of the walk; the lane is not done.
inline void merge_step(const Bins &b, Lane &l)
{
    const double old_left = b.old_edges[l.j], old_right = b.old_edges[l.j + 1];
    const double new_left = b.new_edges[l.k], new_right = b.new_edges[l.k + 1];
    add_share(b.new_counts[l.k], old_left, old_right, old_right - old_left, new_left, new_right,
              b.counts[l.j]);
    l.j += old_right <= new_right;
    l.k += new_right <= old_right;
}

inline void finish_lane(const Bins &b, Lane &l)
{
    while (!l.done(b))
        merge_step(b, l);
}

/// Where a lane that starts at new bin kb (1 <= kb <= new_n) starts among the
/// old bins: at the first whose right edge is not below new_edges[kb], the
/// left edge of new bin kb. The old bins before it end before new bin kb
/// begins, so they share nothing with it or the new bins after it; from
/// there the walk meets every pair that overlaps, as the whole walk does
/// (an old bin that ends just where new bin kb begins adds nothing).
inline std::int64_t first_old_bin_for(const Bins &b, std::int64_t kb)
{
    const double *old_right = b.old_edges + 1;
    return std::lower_bound(old_right, old_right + b.old_n, b.new_edges[kb]) - old_right;
}

/// Splits the walk into lanes of about equal length (a lane's steps are about
/// the old and new bins it passes). Returns how many lanes there are: fewer
/// than lane_count when the walk ends early.
inline int split_lanes(const Bins &b, Lane (&lanes)[lane_count])
{
    const std::int64_t steps = b.old_n + b.new_n;
    lanes[0] = {0, 0, b.new_n};
    int used = 1;
    for (int t = 1; t < lane_count; ++t) {
        // The first new bin from which the walk has made a t-th of its steps;
        // the first old bin only grows with the new bin.
        const std::int64_t target = steps / lane_count * t;
        std::int64_t lo = lanes[used - 1].k + 1, hi = b.new_n;
        while (lo < hi) {
            const std::int64_t mid = lo + (hi - lo) / 2;
            if (mid + first_old_bin_for(b, mid) >= target)
                hi = mid;
            else
                lo = mid + 1;
        }
        if (lo >= b.new_n)
            break;
        const std::int64_t j = first_old_bin_for(b, lo);
        if (j >= b.old_n)
            break;   // no old bin reaches new bin lo
        lanes[used - 1].k_end = lo;
        lanes[used++] = {j, lo, b.new_n};
    }
    return used;
}

#if defined(__SSE2__)
/// mask ? a : b with SSE2 logic.
struct MaskSelect {
    static __m128d apply(__m128d mask, __m128d a, __m128d b)
    {
        return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
    }
};

/// Two elements, one per lane: p[x] low, p[y] high.
[[gnu::always_inline]] inline __m128d load_two(const double *p, std::int64_t x, std::int64_t y)
{
    return _mm_loadh_pd(_mm_load_sd(p + x), p + y);
}

/// Two lanes stepped together, lane a in the low half of each register and
/// lane b in the high half. The left edges of the current bins stay in
/// registers, taken over from the right edges as the lanes move on, so that
/// a step loads only the right edges.
struct LanePair {
    Lane a, b;
    __m128d old_left, new_left;

    LanePair(const Bins &bins, const Lane &a_, const Lane &b_)
        : a(a_), b(b_), old_left(load_two(bins.old_edges, a.j, b.j)),
          new_left(load_two(bins.new_edges, a.k, b.k))
    {
    }
};

/// One step of both lanes; neither is done.
template <typename Select>
[[gnu::always_inline]] inline void step(const Bins &bins, LanePair &p)
{
    Lane &a = p.a, &b = p.b;
    const __m128d old_right = load_two(bins.old_edges, a.j + 1, b.j + 1);
    const __m128d new_right = load_two(bins.new_edges, a.k + 1, b.k + 1);
    // min(new_right, old_right) is old_right > new_right ? new_right : old_right,
    // max(new_left, old_left) is new_left > old_left ? new_left : old_left.
    const __m128d overlap =
        _mm_sub_pd(_mm_min_pd(new_right, old_right), _mm_max_pd(p.new_left, p.old_left));
    const __m128d share = _mm_mul_pd(_mm_div_pd(overlap, _mm_sub_pd(old_right, p.old_left)),
                                     load_two(bins.counts, a.j, b.j));
    const __m128d positive = _mm_cmpgt_pd(overlap, _mm_setzero_pd());
    const __m128d sum = _mm_add_pd(load_two(bins.new_counts, a.k, b.k),
                                   Select::apply(positive, share, _mm_set1_pd(-0.0)));
    _mm_storel_pd(bins.new_counts + a.k, sum);
    _mm_storeh_pd(bins.new_counts + b.k, sum);
    const __m128d past_old = _mm_cmple_pd(old_right, new_right);
    const __m128d past_new = _mm_cmple_pd(new_right, old_right);
    p.old_left = Select::apply(past_old, old_right, p.old_left);
    p.new_left = Select::apply(past_new, new_right, p.new_left);
    const int old_mask = _mm_movemask_pd(past_old), new_mask = _mm_movemask_pd(past_new);
    a.j += old_mask & 1;
    b.j += old_mask >> 1;
    a.k += new_mask & 1;
    b.k += new_mask >> 1;
}

/// Steps the lanes may take together: every step moves a lane past at least
/// one bin, so none can be done before.
inline std::int64_t common_stretch(const Bins &bins, const Lane (&lanes)[lane_count])
{
    std::int64_t stretch = INT64_MAX;
    for (const Lane &l : lanes)
        stretch = std::min({stretch, bins.old_n - l.j, l.k_end - l.k});
    return stretch;
}

/// Walks all the lanes in step while each has a stretch left; the caller
/// finishes them one by one. Eight lanes keep enough steps in flight to
/// cover the wait of each on its own last step; they live in locals for the
/// stretch, so that their indices stay in registers.
template <typename Select>
void walk_lanes(const Bins &bins, Lane (&lanes)[lane_count])
{
    static_assert(lane_count == 8);
    for (std::int64_t stretch; (stretch = common_stretch(bins, lanes)) >= 8;) {
        LanePair ab(bins, lanes[0], lanes[1]), cd(bins, lanes[2], lanes[3]);
        LanePair ef(bins, lanes[4], lanes[5]), gh(bins, lanes[6], lanes[7]);
        for (std::int64_t n = 0; n < stretch; ++n) {
            step<Select>(bins, ab);
            step<Select>(bins, cd);
            step<Select>(bins, ef);
            step<Select>(bins, gh);
        }
        lanes[0] = ab.a;
        lanes[1] = ab.b;
        lanes[2] = cd.a;
        lanes[3] = cd.b;
        lanes[4] = ef.a;
        lanes[5] = ef.b;
        lanes[6] = gh.a;
        lanes[7] = gh.b;
    }
}
#endif

}  // namespace

/// walk_lanes with SSE4.1's blendvpd (rebin_merge_sse41.cpp); call only
/// where the processor has SSE4.1.
void walk_lanes_sse41(const Bins &bins, Lane (&lanes)[lane_count]);

}  // namespace accel::rebin
