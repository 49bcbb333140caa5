// The AVX2 nearest-colour scan over the 8-lane vector type: the rule and
// the other scans, with the argument that the lane scheme agrees with the
// sequential rule, are in nearest_scan.cpp.
//
// Compiled for AVX2 (the region simd/compiler.hpp opens, after every
// header with functions of its own; it says why), so that the vector
// operations inline into the scan.
#include "core/color/nearest_scan.hpp"

#include "core/simd/arch.hpp"

#if DITHERING_ARCH_X86
#include "core/simd/intrinsics.hpp"

#include <bit>
#include <cstddef>
#include <limits>

#include "core/simd/compiler.hpp"
#include "core/simd/vec128.hpp"

DITHERING_TARGET_AVX2_BEGIN
#include "core/simd/vec8_avx2.hpp"
#include "core/color/color_distance.hpp"
#include "core/color/nearest_lanes.hpp"

namespace dithering {
namespace {

constexpr float INF = std::numeric_limits<float>::infinity();

using simd::F32x8;

// squared_distance of eight colours.
DITHERING_ALWAYS_INLINE F32x8 distance8(const ScanLanes& l, std::size_t j, F32x8 v0, F32x8 v1,
                                        F32x8 v2) {
    const F32x8 t1 = v1 - simd::load8(l.c1 + j);
    const F32x8 t0 = v0 - simd::load8(l.c0 + j);
    const F32x8 t2 = v2 - simd::load8(l.c2 + j);
    return squared_distance(t0, t1, t2);
}

}  // namespace

// Two accumulators of eight lanes, sixteen colours per step. No FMA is
// enabled here, so every multiply and add stays separately rounded.
std::size_t nearest_avx2(const ScanLanes& l, float c0, float c1, float c2) noexcept {
    const F32x8 v0 = simd::splat8(c0);
    const F32x8 v1 = simd::splat8(c1);
    const F32x8 v2 = simd::splat8(c2);
    const F32x8 inf = simd::splat8(INF);
    if (l.padded == NEAREST_PAD) {
        // One block of sixteen, as in the 4-lane scan.
        const F32x8 d0 = min(distance8(l, 0, v0, v1, v2), inf);
        const F32x8 d1 = min(distance8(l, 8, v0, v1, v2), inf);
        const F32x8 m = min_everywhere(min(d0, d1));
        if (!(first(m) < INF)) return 0;
        const unsigned at = bits(equal(d0, m)) | bits(equal(d1, m)) << 8;
        return static_cast<std::size_t>(std::countr_zero(at));
    }
    F32x8 best_a = inf;
    F32x8 best_b = inf;
    F32x8 index_a = simd::zero8();
    F32x8 index_b = index_a;
    static constexpr float FIRST_INDICES[16] = {0, 1, 2,  3,  4,  5,  6,  7,
                                                8, 9, 10, 11, 12, 13, 14, 15};
    F32x8 j_a = simd::load8(FIRST_INDICES);
    F32x8 j_b = simd::load8(FIRST_INDICES + 8);
    const F32x8 advance = simd::splat8(16);
    for (std::size_t j = 0; j < l.padded; j += 16) {
        const F32x8 d_a = distance8(l, j, v0, v1, v2);
        const F32x8 d_b = distance8(l, j + 8, v0, v1, v2);
        // `best > d` is an ordered comparison: false whenever d is NaN.
        const simd::Mask32x8 take_a = less(d_a, best_a);
        const simd::Mask32x8 take_b = less(d_b, best_b);
        best_a = select(take_a, d_a, best_a);
        best_b = select(take_b, d_b, best_b);
        index_a = select(take_a, j_a, index_a);
        index_b = select(take_b, j_b, index_b);
        j_a = j_a + advance;
        j_b = j_b + advance;
    }
    keep_first_min(best_a, index_a, best_b, index_b);
    // The upper half against the lower, then down to one lane in four.
    keep_first_min(best_a, index_a, swap_halves(best_a), swap_halves(index_a));
    return fold_lanes(simd::low_half(best_a), simd::low_half(index_a));
}

}  // namespace dithering

DITHERING_TARGET_AVX2_END

#endif  // DITHERING_ARCH_X86
