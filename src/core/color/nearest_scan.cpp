// Nearest-colour scans: sequential reference, four lanes on every
// processor (simd/vec128.hpp) and, on x86, AVX2.
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

#include <limits>
#include <bit>

#include "core/color/color_distance.hpp"
#include "core/simd/compiler.hpp"
#include "core/simd/vec128.hpp"

#if DITHERING_ARCH_X86
#include <immintrin.h>
#endif

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

#if DITHERING_ARCH_X86
// squared_distance of eight colours, its operations in its order, spelled
// in AVX2 intrinsics (the function's own target; MSVC gives __m256 no
// arithmetic operators).
DITHERING_TARGET("avx2") inline __m256 distance8(const ScanLanes& l, std::size_t j,
                                                          __m256 v0, __m256 v1, __m256 v2) {
    const __m256 t1 = _mm256_sub_ps(v1, _mm256_loadu_ps(l.c1 + j));
    const __m256 t0 = _mm256_sub_ps(v0, _mm256_loadu_ps(l.c0 + j));
    const __m256 t2 = _mm256_sub_ps(v2, _mm256_loadu_ps(l.c2 + j));
    const __m256 s = _mm256_add_ps(_mm256_mul_ps(t1, t1), _mm256_mul_ps(t0, t0));
    return _mm256_add_ps(s, _mm256_mul_ps(t2, t2));
}
#endif

}  // namespace

std::size_t nearest_reference(const float* working, std::size_t count, float c0, float c1,
                              float c2) noexcept {
    float best = INF;
    std::size_t index = 0;
    for (std::size_t j = 0; j < count; ++j) {
        const float w0 = working[3 * j];
        const float w1 = working[3 * j + 1];
        const float w2 = working[3 * j + 2];
        const float t1 = c1 - w1;
        const float t0 = c0 - w0;
        const float t2 = c2 - w2;
        const float d = squared_distance(t0, t1, t2);
        if (best > d) {
            index = j;
            best = d;
        }
    }
    return index;
}

std::size_t nearest_portable(const ScanLanes& l, float c0, float c1, float c2) noexcept {
    float best = INF;
    std::size_t index = 0;
    for (std::size_t j = 0; j < l.padded; ++j) {
        const float t1 = c1 - l.c1[j];
        const float t0 = c0 - l.c0[j];
        const float t2 = c2 - l.c2[j];
        const float d = squared_distance(t0, t1, t2);
        if (best > d) {
            index = j;
            best = d;
        }
    }
    return index;
}

// Lane indices are carried as floats: exact up to 2^24, far beyond the
// 4096 colours a palette may hold, and it lets every selection and the
// final reduction use float operations.

// Merges two sets of lane results into the first, lane by lane: the
// smaller distance wins, and on equal distances the lower index. Lane
// distances are never NaN here, so the comparisons are plain.
inline void keep_first_min(F32x4& best, F32x4& index, F32x4 other_best, F32x4 other_index) {
    const simd::Mask32x4 take = simd::less(other_best, best) |
                                (simd::equal(other_best, best) & simd::less(other_index, index));
    best = simd::select(take, other_best, best);
    index = simd::select(take, other_index, index);
}

// Folds the lanes of (best, index) into lane 0 and returns its index, or 0
// when even the smallest distance is +inf.
inline std::size_t fold_lanes(F32x4 best, F32x4 index) {
    keep_first_min(best, index, simd::swap_halves(best), simd::swap_halves(index));
    keep_first_min(best, index, simd::swap_neighbours(best), simd::swap_neighbours(index));
    if (!(simd::first(best) < INF)) return 0;
    return static_cast<std::size_t>(simd::first(index));
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

#if DITHERING_ARCH_X86
// The low four lanes as the four-lane type (through memory when that type
// is the portable form, built for its tests).
DITHERING_TARGET("avx2") inline F32x4 low_half(__m256 v) {
#if defined(DITHERING_VEC128_SSE2)
    return F32x4{_mm256_castps256_ps128(v)};
#else
    float lanes[8];
    _mm256_storeu_ps(lanes, v);
    return simd::load4(lanes);
#endif
}

DITHERING_TARGET("avx2") inline void keep_first_min8(__m256& best, __m256& index,
                                                            __m256 other_best,
                                                            __m256 other_index) {
    const __m256 closer = _mm256_cmp_ps(other_best, best, _CMP_LT_OQ);
    const __m256 tied_earlier = _mm256_and_ps(_mm256_cmp_ps(other_best, best, _CMP_EQ_OQ),
                                              _mm256_cmp_ps(other_index, index, _CMP_LT_OQ));
    const __m256 take = _mm256_or_ps(closer, tied_earlier);
    best = _mm256_blendv_ps(best, other_best, take);
    index = _mm256_blendv_ps(index, other_index, take);
}

// Two accumulators of eight lanes, sixteen colours per step. No FMA is
// enabled here, so every multiply and add stays separately rounded.
DITHERING_TARGET("avx2") std::size_t nearest_avx2(const ScanLanes& l, float c0,
                                                         float c1, float c2) noexcept {
    const __m256 v0 = _mm256_set1_ps(c0);
    const __m256 v1 = _mm256_set1_ps(c1);
    const __m256 v2 = _mm256_set1_ps(c2);
    const __m256 inf = _mm256_set1_ps(INF);
    if (l.padded == NEAREST_PAD) {
        // One block of sixteen, as in the SSE2 scan.
        const __m256 d0 = _mm256_min_ps(distance8(l, 0, v0, v1, v2), inf);
        const __m256 d1 = _mm256_min_ps(distance8(l, 8, v0, v1, v2), inf);
        __m256 m = _mm256_min_ps(d0, d1);
        m = _mm256_min_ps(m, _mm256_permute2f128_ps(m, m, 1));
        m = _mm256_min_ps(m, _mm256_shuffle_ps(m, m, _MM_SHUFFLE(1, 0, 3, 2)));
        m = _mm256_min_ps(m, _mm256_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
        if (!(_mm256_cvtss_f32(m) < INF)) return 0;
        const auto at = static_cast<unsigned>(
            _mm256_movemask_ps(_mm256_cmp_ps(d0, m, _CMP_EQ_OQ)) |
            _mm256_movemask_ps(_mm256_cmp_ps(d1, m, _CMP_EQ_OQ)) << 8);
        return static_cast<std::size_t>(std::countr_zero(at));
    }
    __m256 best_a = inf;
    __m256 best_b = inf;
    __m256 index_a = _mm256_setzero_ps();
    __m256 index_b = index_a;
    __m256 j_a = _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7);
    __m256 j_b = _mm256_setr_ps(8, 9, 10, 11, 12, 13, 14, 15);
    const __m256 advance = _mm256_set1_ps(16);
    for (std::size_t j = 0; j < l.padded; j += 16) {
        const __m256 d_a = distance8(l, j, v0, v1, v2);
        const __m256 d_b = distance8(l, j + 8, v0, v1, v2);
        const __m256 take_a = _mm256_cmp_ps(d_a, best_a, _CMP_LT_OQ);
        const __m256 take_b = _mm256_cmp_ps(d_b, best_b, _CMP_LT_OQ);
        best_a = _mm256_blendv_ps(best_a, d_a, take_a);
        best_b = _mm256_blendv_ps(best_b, d_b, take_b);
        index_a = _mm256_blendv_ps(index_a, j_a, take_a);
        index_b = _mm256_blendv_ps(index_b, j_b, take_b);
        j_a = _mm256_add_ps(j_a, advance);
        j_b = _mm256_add_ps(j_b, advance);
    }
    keep_first_min8(best_a, index_a, best_b, index_b);
    // The upper half against the lower, then down to one lane with SSE.
    keep_first_min8(best_a, index_a, _mm256_permute2f128_ps(best_a, best_a, 1),
                    _mm256_permute2f128_ps(index_a, index_a, 1));
    return fold_lanes(low_half(best_a), low_half(index_a));
}
#endif

const IsaForms<NearestScan>& nearest_scans() noexcept {
    static constexpr IsaForms<NearestScan> scans = {
        &nearest_portable,
        &nearest_vec128,
#if DITHERING_ARCH_X86
        &nearest_avx2,
#else
        nullptr,
#endif
    };
    return scans;
}

}  // namespace dithering
