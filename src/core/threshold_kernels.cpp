// Vector loops of ordered and random dither: SSE2 (baseline) and AVX2,
// the latter compiled per function and chosen at run time.
#include "core/threshold_kernels.hpp"

#include <emmintrin.h>
#include <immintrin.h>

#include <cstring>

namespace dithering {

bool threshold_avx2_supported() noexcept {
    // GCC's feature test also checks that the OS saves the AVX registers.
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return available;
}

namespace {

// One vector of a compare row: `lane` is the plan lane of the first byte.
inline __m128i compare16(__m128i b, const CompareRow& row, std::size_t lane) {
    const std::uint8_t* l = row.lanes + lane;
    __m128i acc = _mm_loadu_si128(reinterpret_cast<const __m128i*>(l));
    for (std::size_t j = 0; j < row.terms; ++j) {
        l += row.period;
        const __m128i bound = _mm_loadu_si128(reinterpret_cast<const __m128i*>(l));
        l += row.period;
        const __m128i step = _mm_loadu_si128(reinterpret_cast<const __m128i*>(l));
        // b <= bound exactly where min(b, bound) == b; the step counts above.
        const __m128i below = _mm_cmpeq_epi8(_mm_min_epu8(b, bound), b);
        acc = _mm_add_epi8(acc, _mm_andnot_si128(below, step));
    }
    if (row.keep) {
        // Kept lanes have base and steps 0, so an OR puts the input back.
        const __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i*>(l + row.period));
        acc = _mm_or_si128(acc, _mm_and_si128(b, keep));
    }
    return acc;
}

__attribute__((target("avx2"))) inline __m256i compare32(__m256i b, const CompareRow& row,
                                                         std::size_t lane) {
    const std::uint8_t* l = row.lanes + lane;
    __m256i acc = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(l));
    for (std::size_t j = 0; j < row.terms; ++j) {
        l += row.period;
        const __m256i bound = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(l));
        l += row.period;
        const __m256i step = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(l));
        const __m256i below = _mm256_cmpeq_epi8(_mm256_min_epu8(b, bound), b);
        acc = _mm256_add_epi8(acc, _mm256_andnot_si256(below, step));
    }
    if (row.keep) {
        const __m256i keep =
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(l + row.period));
        acc = _mm256_or_si256(acc, _mm256_and_si256(b, keep));
    }
    return acc;
}

}  // namespace

void compare_row_sse2(std::uint8_t* p, std::size_t count, const CompareRow& row) noexcept {
    std::size_t lane = 0;
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        auto* at = reinterpret_cast<__m128i*>(p + i);
        _mm_storeu_si128(at, compare16(_mm_loadu_si128(at), row, lane));
        lane += 16;
        if (lane == row.period) lane = 0;
    }
    if (i < count) {
        // The row's last bytes go through a full vector in a local copy;
        // the plan lanes beyond them exist (the period is a multiple of 32).
        alignas(16) std::uint8_t tail[16] = {};
        std::memcpy(tail, p + i, count - i);
        auto* at = reinterpret_cast<__m128i*>(tail);
        _mm_store_si128(at, compare16(_mm_load_si128(at), row, lane));
        std::memcpy(p + i, tail, count - i);
    }
}

__attribute__((target("avx2"))) void compare_row_avx2(std::uint8_t* p, std::size_t count,
                                                      const CompareRow& row) noexcept {
    std::size_t lane = 0;
    std::size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        auto* at = reinterpret_cast<__m256i*>(p + i);
        _mm256_storeu_si256(at, compare32(_mm256_loadu_si256(at), row, lane));
        lane += 32;
        if (lane == row.period) lane = 0;
    }
    if (i < count) {
        alignas(32) std::uint8_t tail[32] = {};
        std::memcpy(tail, p + i, count - i);
        auto* at = reinterpret_cast<__m256i*>(tail);
        _mm256_store_si256(at, compare32(_mm256_load_si256(at), row, lane));
        std::memcpy(p + i, tail, count - i);
    }
}

namespace {

// 64-bit lanes multiplied modulo 2^64 by a constant split into its 32-bit
// halves: AVX2 has only the 32 x 32 -> 64 multiply, so the product is
// lo*lo plus the two cross products shifted up (hi*hi falls off the top).
__attribute__((target("avx2"))) inline __m256i mul64(__m256i z, __m256i c_lo, __m256i c_hi) {
    const __m256i low = _mm256_mul_epu32(z, c_lo);
    const __m256i cross =
        _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(z, 32), c_lo),
                         _mm256_mul_epu32(z, c_hi));
    return _mm256_add_epi64(low, _mm256_slli_epi64(cross, 32));
}

// The SplitMix64 mix of four incremented states, reduced to what the dither
// keeps: bits 32..63 of the last product, in the low half of each 64-bit
// lane (the high half is garbage). The final z ^ (z >> 31) is left out: it
// changes no bit from 33 up, and u = z >> 40 reads only bits 40..63.
__attribute__((target("avx2"))) inline __m256i mix_high(__m256i z) {
    const __m256i m1_lo = _mm256_set1_epi64x(0x1ce4e5b9LL);
    const __m256i m1_hi = _mm256_set1_epi64x(0xbf58476dLL);
    const __m256i m2_lo = _mm256_set1_epi64x(0x133111ebLL);
    const __m256i m2_hi = _mm256_set1_epi64x(0x94d049bbLL);
    z = _mm256_xor_si256(z, _mm256_srli_epi64(z, 30));
    z = mul64(z, m1_lo, m1_hi);
    z = _mm256_xor_si256(z, _mm256_srli_epi64(z, 27));
    // High half of z * m2 modulo 2^64: the carry out of lo*lo plus the low
    // halves of the two cross products.
    __m256i high = _mm256_srli_epi64(_mm256_mul_epu32(z, m2_lo), 32);
    high = _mm256_add_epi64(high, _mm256_mul_epu32(z, m2_hi));
    return _mm256_add_epi64(high, _mm256_mul_epu32(_mm256_srli_epi64(z, 32), m2_lo));
}

inline long long as_lane(std::uint64_t v) { return static_cast<long long>(v); }

}  // namespace

__attribute__((target("avx2"))) void draw_offsets_avx2(std::uint64_t state, std::size_t count,
                                                       float scale, float* out) noexcept {
    constexpr std::uint64_t G = SPLITMIX_GAMMA;
    // Draws i = 0, 2, 4, 6 in one vector and 1, 3, 5, 7 in the other, so
    // that shifting the odd results into the high halves and blending puts
    // all eight 32-bit results in order.
    __m256i even = _mm256_set_epi64x(as_lane(state + 7 * G), as_lane(state + 5 * G),
                                     as_lane(state + 3 * G), as_lane(state + 1 * G));
    __m256i odd = _mm256_set_epi64x(as_lane(state + 8 * G), as_lane(state + 6 * G),
                                    as_lane(state + 4 * G), as_lane(state + 2 * G));
    const __m256i advance = _mm256_set1_epi64x(as_lane(8 * G));
    const __m256 unit = _mm256_set1_ps(0x1p-24f);
    const __m256 half = _mm256_set1_ps(0.5f);
    const __m256 amp = _mm256_set1_ps(scale);
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256i high = _mm256_blend_epi32(mix_high(even),
                                                _mm256_slli_epi64(mix_high(odd), 32), 0xaa);
        const __m256i u = _mm256_srli_epi32(high, 8);
        // u has 24 bits: the conversion and the scaling are exact.
        const __m256 t = _mm256_sub_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(u), unit), half);
        _mm256_storeu_ps(out + i, _mm256_mul_ps(t, amp));
        even = _mm256_add_epi64(even, advance);
        odd = _mm256_add_epi64(odd, advance);
    }
    for (; i < count; ++i) {
        out[i] = splitmix_unit_offset(state + (i + 1) * G) * scale;
    }
}

namespace {

// Eight bytes' levels, exactly as LevelQuantizer::level computes them:
// MAXPS returns its second operand when the first is NaN, as the scalar
// `q > 0 ? q : 0` does.
__attribute__((target("avx2"))) inline __m256i levels8(const std::uint8_t* p, const float* offsets,
                                                       const VectorQuantizer& vq) {
    const __m256i bytes =
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    const __m256 work = vq.lut_is_byte ? _mm256_cvtepi32_ps(bytes)
                                       : _mm256_i32gather_ps(vq.scalar.lut, bytes, 4);
    __m256 q = _mm256_mul_ps(_mm256_add_ps(work, _mm256_loadu_ps(offsets)),
                             _mm256_set1_ps(vq.scalar.inv_step));
    q = _mm256_max_ps(q, _mm256_setzero_ps());
    q = _mm256_min_ps(q, _mm256_set1_ps(vq.scalar.top));
    const __m256i whole = _mm256_cvttps_epi32(q);
    const __m256 rest = _mm256_sub_ps(q, _mm256_cvtepi32_ps(whole));
    const __m256 up = _mm256_cmp_ps(rest, _mm256_set1_ps(0.5f), _CMP_GE_OQ);
    return _mm256_sub_epi32(whole, _mm256_castps_si256(up));
}

}  // namespace

__attribute__((target("avx2"))) void quantize_offsets_avx2(std::uint8_t* p, const float* offsets,
                                                           std::size_t count,
                                                           const VectorQuantizer& vq) noexcept {
    const bool shuffle_codes = !vq.codes_are_levels && vq.levels <= 16;
    alignas(16) std::uint8_t first_codes[16] = {};
    for (std::uint32_t i = 0; i < vq.levels && i < 16; ++i) first_codes[i] = vq.scalar.codes[i];
    const __m256i codes16 =
        _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(first_codes)));
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    std::size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i l0 = levels8(p + i, offsets + i, vq);
        const __m256i l1 = levels8(p + i + 8, offsets + i + 8, vq);
        const __m256i l2 = levels8(p + i + 16, offsets + i + 16, vq);
        const __m256i l3 = levels8(p + i + 24, offsets + i + 24, vq);
        // The packs work within 128-bit halves, leaving 4-byte groups in
        // the order l0a l1a l2a l3a | l0b l1b l2b l3b; the permute restores
        // l0a l0b l1a l1b ...
        const __m256i words01 = _mm256_packs_epi32(l0, l1);
        const __m256i words23 = _mm256_packs_epi32(l2, l3);
        __m256i level_bytes = _mm256_permutevar8x32_epi32(
            _mm256_packus_epi16(words01, words23), order);
        auto* at = reinterpret_cast<__m256i*>(p + i);
        if (shuffle_codes) {
            _mm256_storeu_si256(at, _mm256_shuffle_epi8(codes16, level_bytes));
        } else if (vq.codes_are_levels) {
            _mm256_storeu_si256(at, level_bytes);
        } else {
            alignas(32) std::uint8_t found[32];
            _mm256_store_si256(reinterpret_cast<__m256i*>(found), level_bytes);
            for (std::size_t k = 0; k < 32; ++k) p[i + k] = vq.scalar.codes[found[k]];
        }
    }
    for (; i < count; ++i) p[i] = vq.scalar(p[i], offsets[i]);
}

namespace {

// V independent groups of eight points, so that the compare-and-keep chain
// of one group overlaps the distance arithmetic of the others. The points
// are read from memory for every colour (the loads fold into the
// subtractions), which leaves the registers to the running minima.
template <std::size_t V>
__attribute__((target("avx2"))) inline void nearest_groups(const float* working,
                                                           std::size_t colors, const float* c0,
                                                           const float* c1, const float* c2,
                                                           std::uint32_t* out) {
    __m256 best[V];
    __m256i index[V];
#pragma GCC unroll 4
    for (std::size_t k = 0; k < V; ++k) {
        best[k] = _mm256_set1_ps(__builtin_inff());
        index[k] = _mm256_setzero_si256();
    }
    for (std::size_t j = 0; j < colors; ++j) {
        const __m256 w0 = _mm256_broadcast_ss(working + 3 * j);
        const __m256 w1 = _mm256_broadcast_ss(working + 3 * j + 1);
        const __m256 w2 = _mm256_broadcast_ss(working + 3 * j + 2);
        const __m256i here = _mm256_set1_epi32(static_cast<int>(j));
#pragma GCC unroll 4
        for (std::size_t k = 0; k < V; ++k) {
            const __m256 t1 = _mm256_sub_ps(_mm256_loadu_ps(c1 + 8 * k), w1);
            const __m256 t0 = _mm256_sub_ps(_mm256_loadu_ps(c0 + 8 * k), w0);
            const __m256 t2 = _mm256_sub_ps(_mm256_loadu_ps(c2 + 8 * k), w2);
            const __m256 s = _mm256_add_ps(_mm256_mul_ps(t1, t1), _mm256_mul_ps(t0, t0));
            const __m256 d = _mm256_add_ps(s, _mm256_mul_ps(t2, t2));
            // Ordered and quiet: false for a NaN distance, which never wins.
            const __m256 closer = _mm256_cmp_ps(best[k], d, _CMP_GT_OQ);
            best[k] = _mm256_blendv_ps(best[k], d, closer);
            index[k] = _mm256_blendv_epi8(index[k], here, _mm256_castps_si256(closer));
        }
    }
#pragma GCC unroll 4
    for (std::size_t k = 0; k < V; ++k) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * k), index[k]);
    }
}

}  // namespace

__attribute__((target("avx2"))) void nearest_points_avx2(const float* working,
                                                         std::size_t colors, const float* c0,
                                                         const float* c1, const float* c2,
                                                         std::size_t count,
                                                         std::uint32_t* out) noexcept {
    std::size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        nearest_groups<4>(working, colors, c0 + i, c1 + i, c2 + i, out + i);
    }
    for (; i + 8 <= count; i += 8) {
        nearest_groups<1>(working, colors, c0 + i, c1 + i, c2 + i, out + i);
    }
}

}  // namespace dithering
