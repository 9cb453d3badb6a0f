// rebin_merge_sse41.cpp: the lane walk built for SSE4.1 (compiled with
// -msse4.1), where one blendvpd makes each choice. Called only after the
// processor has been found to have SSE4.1.
#include "rebin/rebin_merge.hpp"

#include <smmintrin.h>

namespace accel::rebin {
namespace {

struct BlendSelect {
    static __m128d apply(__m128d mask, __m128d a, __m128d b) { return _mm_blendv_pd(b, a, mask); }
};

}  // namespace

void walk_lanes_sse41(const Bins &bins, Lane (&lanes)[lane_count])
{
    walk_lanes<BlendSelect>(bins, lanes);
}

}  // namespace accel::rebin
