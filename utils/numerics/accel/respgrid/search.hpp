// search.hpp: the first position whose value is not below a probe.
//
// find_first_not_below(x, a) visits a[0], a[1], ... while x > a[i] and stops
// at the first i where that comparison is false (a NaN on either side stops
// it); -1 when it passes the end. The array need not be sorted.
//
// NotBelowSearch returns the same positions faster. Before the first NaN of
// the array, the first i with a[i] >= x is the first i where the running
// maximum of a reaches x, and the running maximum never decreases, so a
// binary search finds it. Probes that pass every entry before the first NaN
// stop at that NaN. A galloping search from the previous answer makes a run
// of nearby probes cost O(1) each. No interpreter calls: usable without the
// interpreter lock.
#pragma once

#include "frame/strided.hpp"

#include <cmath>
#include <cstdint>
#include <vector>

namespace accel::respgrid {

/// The literal scan: first i with !(x > a[i]), or -1.
inline std::int64_t find_first_not_below(double x, frame::Strided1D a)
{
    for (std::int64_t i = 0; i < a.n; ++i)
        if (!(x > a[i]))
            return i;
    return -1;
}

class NotBelowSearch {
public:
    /// Reads `a` once into `running_max`, which must outlive the search and
    /// hold at least a.n elements.
    NotBelowSearch(frame::Strided1D a, double *running_max) : max_(running_max), n_(a.n)
    {
        std::int64_t i = 0;
        double top = 0.0;
        for (; i < n_; ++i) {
            const double value = a[i];
            if (std::isnan(value))
                break;
            top = (i == 0 || value > top) ? value : top;
            running_max[i] = top;
        }
        finite_prefix_ = i;   // first NaN, or n
    }

    /// find_first_not_below(x, a), searching near `hint` (any position) first.
    std::int64_t find(double x, std::int64_t hint) const
    {
        if (std::isnan(x))
            return n_ > 0 ? 0 : -1;
        const std::int64_t p = finite_prefix_;
        const std::int64_t at = lower_bound_from(x, hint < 0 ? 0 : (hint > p ? p : hint));
        if (at < p)
            return at;
        return p < n_ ? p : -1;
    }

private:
    /// First i in [0, p) with max_[i] >= x, or p. Tries hint and its
    /// neighbour first; otherwise keeps max_[lo] < x (lo = -1 standing for
    /// "before the start") and max_[hi] >= x (hi = p standing for "after the
    /// end"), widening the bracket from hint by doubling steps, then halving it.
    std::int64_t lower_bound_from(double x, std::int64_t hint) const
    {
        const std::int64_t p = finite_prefix_;
        std::int64_t lo, hi;
        if (hint == p || max_[hint] >= x) {   // the answer is at or before hint
            if (hint == 0 || max_[hint - 1] < x)
                return hint;
            hi = hint - 1;
            lo = hint - 2;
            for (std::int64_t step = 1; lo >= 0 && max_[lo] >= x; step <<= 1) {
                hi = lo;
                lo -= step;
            }
            if (lo < -1)
                lo = -1;
        } else {   // max_[hint] < x: the answer is after hint
            if (hint + 1 == p || max_[hint + 1] >= x)
                return hint + 1;
            lo = hint + 1;
            hi = hint + 2;
            for (std::int64_t step = 1; hi < p && max_[hi] < x; step <<= 1) {
                lo = hi;
                hi += step;
            }
            if (hi > p)
                hi = p;
        }
        while (hi - lo > 1) {
            const std::int64_t mid = lo + (hi - lo) / 2;
            if (max_[mid] >= x)
                hi = mid;
            else
                lo = mid;
        }
        return hi;
    }

    const double *max_;
    std::int64_t n_;
    std::int64_t finite_prefix_ = 0;
};

}  // namespace accel::respgrid
