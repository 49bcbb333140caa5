// Nearest-colour scans: sequential reference, SSE2 baseline and AVX2.
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

#include <emmintrin.h>
#include <immintrin.h>

#include <limits>

#include "core/simd/cpu_features.hpp"

namespace dithering {
namespace {

constexpr float INF = std::numeric_limits<float>::infinity();

inline __m128 select_ps(__m128 mask, __m128 yes, __m128 no) {
    return _mm_or_ps(_mm_and_ps(mask, yes), _mm_andnot_ps(mask, no));
}

// d = ((c1 - w1)^2 + (c0 - w0)^2) + (c2 - w2)^2, operation for operation.
inline __m128 distance4(const ScanLanes& l, std::size_t j, __m128 v0, __m128 v1, __m128 v2) {
    const __m128 t1 = _mm_sub_ps(v1, _mm_loadu_ps(l.c1 + j));
    const __m128 t0 = _mm_sub_ps(v0, _mm_loadu_ps(l.c0 + j));
    const __m128 t2 = _mm_sub_ps(v2, _mm_loadu_ps(l.c2 + j));
    const __m128 s = _mm_add_ps(_mm_mul_ps(t1, t1), _mm_mul_ps(t0, t0));
    return _mm_add_ps(s, _mm_mul_ps(t2, t2));
}

__attribute__((target("avx2"))) inline __m256 distance8(const ScanLanes& l, std::size_t j,
                                                          __m256 v0, __m256 v1, __m256 v2) {
    const __m256 t1 = _mm256_sub_ps(v1, _mm256_loadu_ps(l.c1 + j));
    const __m256 t0 = _mm256_sub_ps(v0, _mm256_loadu_ps(l.c0 + j));
    const __m256 t2 = _mm256_sub_ps(v2, _mm256_loadu_ps(l.c2 + j));
    const __m256 s = _mm256_add_ps(_mm256_mul_ps(t1, t1), _mm256_mul_ps(t0, t0));
    return _mm256_add_ps(s, _mm256_mul_ps(t2, t2));
}

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
        const float s = t1 * t1 + t0 * t0;
        const float d = s + t2 * t2;
        if (best > d) {
            index = j;
            best = d;
        }
    }
    return index;
}

std::size_t nearest_scalar(const ScanLanes& l, float c0, float c1, float c2) noexcept {
    float best = INF;
    std::size_t index = 0;
    for (std::size_t j = 0; j < l.padded; ++j) {
        const float t1 = c1 - l.c1[j];
        const float t0 = c0 - l.c0[j];
        const float t2 = c2 - l.c2[j];
        const float s = t1 * t1 + t0 * t0;
        const float d = s + t2 * t2;
        if (best > d) {
            index = j;
            best = d;
        }
    }
    return index;
}

// Lane indices are carried as floats: exact up to 2^24, far beyond the
// 4096 colours a palette may hold, and it lets every selection and the
// final reduction use float operations, which SSE2 has complete.

// Merges two sets of lane results into the first, lane by lane: the
// smaller distance wins, and on equal distances the lower index. Lane
// distances are never NaN here, so the comparisons are plain.
inline void keep_first_min(__m128& best, __m128& index, __m128 other_best, __m128 other_index) {
    const __m128 closer = _mm_cmplt_ps(other_best, best);
    const __m128 tied_earlier =
        _mm_and_ps(_mm_cmpeq_ps(other_best, best), _mm_cmplt_ps(other_index, index));
    const __m128 take = _mm_or_ps(closer, tied_earlier);
    best = select_ps(take, other_best, best);
    index = select_ps(take, other_index, index);
}

// Folds the lanes of (best, index) into lane 0 and returns its index, or 0
// when even the smallest distance is +inf.
inline std::size_t fold_lanes(__m128 best, __m128 index) {
    keep_first_min(best, index, _mm_shuffle_ps(best, best, _MM_SHUFFLE(1, 0, 3, 2)),
                   _mm_shuffle_ps(index, index, _MM_SHUFFLE(1, 0, 3, 2)));
    keep_first_min(best, index, _mm_shuffle_ps(best, best, _MM_SHUFFLE(2, 3, 0, 1)),
                   _mm_shuffle_ps(index, index, _MM_SHUFFLE(2, 3, 0, 1)));
    if (!(_mm_cvtss_f32(best) < INF)) return 0;
    return static_cast<std::size_t>(_mm_cvttss_si32(index));
}

// Two accumulators of four lanes, eight colours per step: two independent
// compare-and-select chains hide each other's latency.
std::size_t nearest_sse2(const ScanLanes& l, float c0, float c1, float c2) noexcept {
    const __m128 v0 = _mm_set1_ps(c0);
    const __m128 v1 = _mm_set1_ps(c1);
    const __m128 v2 = _mm_set1_ps(c2);
    const __m128 inf = _mm_set1_ps(INF);
    if (l.padded == NEAREST_PAD) {
        // One block of sixteen: lane order is colour order, so no index
        // bookkeeping is needed. min(d, inf) turns a NaN distance into
        // +inf (min returns its second operand when either is NaN), which
        // never wins; then the first lane equal to the minimum is the
        // sequential answer, unless that minimum is +inf.
        const __m128 d0 = _mm_min_ps(distance4(l, 0, v0, v1, v2), inf);
        const __m128 d1 = _mm_min_ps(distance4(l, 4, v0, v1, v2), inf);
        const __m128 d2 = _mm_min_ps(distance4(l, 8, v0, v1, v2), inf);
        const __m128 d3 = _mm_min_ps(distance4(l, 12, v0, v1, v2), inf);
        __m128 m = _mm_min_ps(_mm_min_ps(d0, d1), _mm_min_ps(d2, d3));
        m = _mm_min_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(1, 0, 3, 2)));
        m = _mm_min_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
        if (!(_mm_cvtss_f32(m) < INF)) return 0;
        const auto at = static_cast<unsigned>(
            _mm_movemask_ps(_mm_cmpeq_ps(d0, m)) | _mm_movemask_ps(_mm_cmpeq_ps(d1, m)) << 4 |
            _mm_movemask_ps(_mm_cmpeq_ps(d2, m)) << 8 | _mm_movemask_ps(_mm_cmpeq_ps(d3, m)) << 12);
        return static_cast<std::size_t>(__builtin_ctz(at));
    }
    __m128 best_a = inf;
    __m128 best_b = inf;
    __m128 index_a = _mm_setzero_ps();
    __m128 index_b = index_a;
    __m128 j_a = _mm_setr_ps(0, 1, 2, 3);
    __m128 j_b = _mm_setr_ps(4, 5, 6, 7);
    const __m128 advance = _mm_set1_ps(8);
    for (std::size_t j = 0; j < l.padded; j += 8) {
        const __m128 d_a = distance4(l, j, v0, v1, v2);
        const __m128 d_b = distance4(l, j + 4, v0, v1, v2);
        // `best > d` is an ordered comparison: false whenever d is NaN.
        const __m128 take_a = _mm_cmplt_ps(d_a, best_a);
        const __m128 take_b = _mm_cmplt_ps(d_b, best_b);
        best_a = select_ps(take_a, d_a, best_a);
        best_b = select_ps(take_b, d_b, best_b);
        index_a = select_ps(take_a, j_a, index_a);
        index_b = select_ps(take_b, j_b, index_b);
        j_a = _mm_add_ps(j_a, advance);
        j_b = _mm_add_ps(j_b, advance);
    }
    keep_first_min(best_a, index_a, best_b, index_b);
    return fold_lanes(best_a, index_a);
}

__attribute__((target("avx2"))) inline void keep_first_min8(__m256& best, __m256& index,
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
__attribute__((target("avx2"))) std::size_t nearest_avx2(const ScanLanes& l, float c0,
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
        return static_cast<std::size_t>(__builtin_ctz(at));
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
    return fold_lanes(_mm256_castps256_ps128(best_a), _mm256_castps256_ps128(index_a));
}

bool nearest_path_supported(NearestPath path) noexcept {
    switch (path) {
        case NearestPath::scalar:
        case NearestPath::sse2:
            return true;  // SSE2 is part of the x86-64 baseline
        case NearestPath::avx2:
            return cpu_has_avx2();
    }
    return false;
}

NearestScan nearest_scan_for(NearestPath path) noexcept {
    switch (path) {
        case NearestPath::scalar:
            return &nearest_scalar;
        case NearestPath::sse2:
            return &nearest_sse2;
        case NearestPath::avx2:
            return &nearest_avx2;
    }
    return &nearest_scalar;
}

NearestScan best_nearest_scan() noexcept {
    return cpu_has_avx2() ? &nearest_avx2 : &nearest_sse2;
}

}  // namespace dithering
