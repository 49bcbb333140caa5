// Nearest-colour scans: sequential reference, four lanes on every
// processor (simd/vec128.hpp) and, on x86, AVX2 (nearest_scan_avx2.cpp).
//
// Each vector lane runs the sequential rule on its own subsequence of the
// colours (lane k of accumulator a sees colours whose index is congruent to
// its position), keeping the first strict minimum it meets. A lane's
// minimum is never NaN: a NaN distance fails `best > d`. The reduction
// then takes the smallest lane minimum m and, among the lanes holding m,
// the lowest index. The sequential scan picks the first colour whose
// distance equals the overall minimum; that colour is its lane's first
// minimum, and every other lane holding m holds a later index, so both
// agree. If m is +inf (every distance +inf or NaN) the sequential scan
// never moved off colour 0, and neither does the reduction.
//
// Palettes of up to sixteen colours (one padded block) skip the per-lane
// bookkeeping: with every colour in its own lane, the answer is the first
// lane holding the minimum, found with a mask and a bit scan.
#include "core/color/nearest_scan.hpp"

#include <bit>
#include <limits>

#include "core/color/color_distance.hpp"
#include "core/color/nearest_lanes.hpp"
#include "core/color/sequential_nearest.hpp"
#include "core/simd/compiler.hpp"
#include "core/simd/vec128.hpp"

namespace dithering {
namespace {

constexpr float INF = std::numeric_limits<float>::infinity();

using simd::F32x4;

// squared_distance of four colours.
inline F32x4 distance4(const ScanLanes& l, std::size_t j, F32x4 v0, F32x4 v1, F32x4 v2) {
    const F32x4 t1 = v1 - simd::load4(l.c1 + j);
    const F32x4 t0 = v0 - simd::load4(l.c0 + j);
    const F32x4 t2 = v2 - simd::load4(l.c2 + j);
    return squared_distance(t0, t1, t2);
}

}  // namespace

std::size_t nearest_reference(const float* working, std::size_t count, float c0, float c1,
                              float c2) noexcept {
    SequentialNearest rule;
    for (std::size_t j = 0; j < count; ++j) {
        rule.consider(c0, c1, c2, working[3 * j], working[3 * j + 1], working[3 * j + 2], j);
    }
    return rule.index;
}

std::size_t nearest_portable(const ScanLanes& l, float c0, float c1, float c2) noexcept {
    SequentialNearest rule;
    for (std::size_t j = 0; j < l.padded; ++j)
        rule.consider(c0, c1, c2, l.c0[j], l.c1[j], l.c2[j], j);
    return rule.index;
}

// Two accumulators of four lanes, eight colours per step: two independent
// compare-and-select chains hide each other's latency.
std::size_t nearest_vec128(const ScanLanes& l, float c0, float c1, float c2) noexcept {
    const F32x4 v0 = simd::splat(c0);
    const F32x4 v1 = simd::splat(c1);
    const F32x4 v2 = simd::splat(c2);
    const F32x4 inf = simd::splat(INF);
    if (l.padded == NEAREST_PAD) {
        // One block of sixteen: lane order is colour order, so no index
        // bookkeeping is needed. min(d, inf) turns a NaN distance into
        // +inf (min gives its second operand when either is NaN), which
        // never wins; then the first lane equal to the minimum is the
        // sequential answer, unless that minimum is +inf.
        const F32x4 d0 = simd::min(distance4(l, 0, v0, v1, v2), inf);
        const F32x4 d1 = simd::min(distance4(l, 4, v0, v1, v2), inf);
        const F32x4 d2 = simd::min(distance4(l, 8, v0, v1, v2), inf);
        const F32x4 d3 = simd::min(distance4(l, 12, v0, v1, v2), inf);
        F32x4 m = simd::min(simd::min(d0, d1), simd::min(d2, d3));
        m = simd::min(m, simd::swap_halves(m));
        m = simd::min(m, simd::swap_neighbours(m));
        if (!(simd::first(m) < INF)) return 0;
        const unsigned at = simd::bits(simd::equal(d0, m)) | simd::bits(simd::equal(d1, m)) << 4 |
                            simd::bits(simd::equal(d2, m)) << 8 |
                            simd::bits(simd::equal(d3, m)) << 12;
        return static_cast<std::size_t>(std::countr_zero(at));
    }
    F32x4 best_a = inf;
    F32x4 best_b = inf;
    F32x4 index_a = simd::zero4();
    F32x4 index_b = index_a;
    F32x4 j_a = simd::lanes(0, 1, 2, 3);
    F32x4 j_b = simd::lanes(4, 5, 6, 7);
    const F32x4 advance = simd::splat(8);
    for (std::size_t j = 0; j < l.padded; j += 8) {
        const F32x4 d_a = distance4(l, j, v0, v1, v2);
        const F32x4 d_b = distance4(l, j + 4, v0, v1, v2);
        // `best > d` is an ordered comparison: false whenever d is NaN.
        const simd::Mask32x4 take_a = simd::less(d_a, best_a);
        const simd::Mask32x4 take_b = simd::less(d_b, best_b);
        best_a = simd::select(take_a, d_a, best_a);
        best_b = simd::select(take_b, d_b, best_b);
        index_a = simd::select(take_a, j_a, index_a);
        index_b = simd::select(take_b, j_b, index_b);
        j_a = j_a + advance;
        j_b = j_b + advance;
    }
    keep_first_min(best_a, index_a, best_b, index_b);
    return fold_lanes(best_a, index_a);
}

const IsaForms<NearestScan>& nearest_scans() noexcept {
    static constexpr IsaForms<NearestScan> scans = {
        {&nearest_portable},
        {&nearest_vec128},
        {DITHERING_AVX2_FORM(&nearest_avx2)},
    };
    return scans;
}

}  // namespace dithering
