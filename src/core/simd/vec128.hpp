// 128-bit vectors (four floats, four 32-bit integers, two doubles or
// sixteen bytes) with one
// meaning on every processor: SSE2 on x86 (part of every x86-64), NEON on
// aarch64 (part of every aarch64), plain arrays anywhere else. A loop written once over
// these types is the same IEEE operations in the same order on each, so it
// gives the same bytes everywhere; only the instructions differ. Defining
// DITHERING_PORTABLE_VECTORS builds the portable form on any processor,
// so the tests can hold it against the others.
//
// Every operation is exactly one rounded IEEE operation per lane (no fused
// multiply-add exists here), and the ones whose x86 instruction has a
// particular rule for NaN are defined by that rule on all of them: min and
// max return their second operand unless the first compares less
// (greater), so a NaN in either gives the second. Comparisons are ordered:
// false when either lane is NaN.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/simd/arch.hpp"
#include "core/simd/compiler.hpp"

#if DITHERING_ARCH_X86 && !defined(DITHERING_PORTABLE_VECTORS)
#define DITHERING_VEC128_SSE2 1
#include <emmintrin.h>
#elif DITHERING_ARCH_AARCH64 && !defined(DITHERING_PORTABLE_VECTORS)
#define DITHERING_VEC128_NEON 1
#include <arm_neon.h>
#endif

namespace dithering::simd {

#define DITHERING_VEC128_INLINE DITHERING_ALWAYS_INLINE

#if defined(DITHERING_VEC128_SSE2)

struct F32x4 {
    __m128 v;
};
// All bits of a lane set where a comparison held, clear elsewhere.
struct Mask32x4 {
    __m128 v;
};
struct F64x2 {
    __m128d v;
};
struct Mask64x2 {
    __m128d v;
};

DITHERING_VEC128_INLINE F32x4 splat(float x) { return {_mm_set1_ps(x)}; }
DITHERING_VEC128_INLINE F32x4 lanes(float a, float b, float c, float d) {
    return {_mm_setr_ps(a, b, c, d)};
}
DITHERING_VEC128_INLINE F32x4 load4(const float* p) { return {_mm_loadu_ps(p)}; }
// p[0] in lane 0, zero in the others.
DITHERING_VEC128_INLINE F32x4 load_first(const float* p) { return {_mm_load_ss(p)}; }
DITHERING_VEC128_INLINE void store4(float* p, F32x4 a) { _mm_storeu_ps(p, a.v); }
DITHERING_VEC128_INLINE void store_first(float* p, F32x4 a) { _mm_store_ss(p, a.v); }
DITHERING_VEC128_INLINE F32x4 operator+(F32x4 a, F32x4 b) { return {_mm_add_ps(a.v, b.v)}; }
DITHERING_VEC128_INLINE F32x4 operator-(F32x4 a, F32x4 b) { return {_mm_sub_ps(a.v, b.v)}; }
DITHERING_VEC128_INLINE F32x4 operator*(F32x4 a, F32x4 b) { return {_mm_mul_ps(a.v, b.v)}; }
DITHERING_VEC128_INLINE F32x4 min(F32x4 a, F32x4 b) { return {_mm_min_ps(a.v, b.v)}; }
DITHERING_VEC128_INLINE F32x4 max(F32x4 a, F32x4 b) { return {_mm_max_ps(a.v, b.v)}; }
DITHERING_VEC128_INLINE Mask32x4 less(F32x4 a, F32x4 b) { return {_mm_cmplt_ps(a.v, b.v)}; }
DITHERING_VEC128_INLINE Mask32x4 less_equal(F32x4 a, F32x4 b) { return {_mm_cmple_ps(a.v, b.v)}; }
DITHERING_VEC128_INLINE Mask32x4 equal(F32x4 a, F32x4 b) { return {_mm_cmpeq_ps(a.v, b.v)}; }
DITHERING_VEC128_INLINE Mask32x4 operator&(Mask32x4 a, Mask32x4 b) { return {_mm_and_ps(a.v, b.v)}; }
DITHERING_VEC128_INLINE Mask32x4 operator|(Mask32x4 a, Mask32x4 b) { return {_mm_or_ps(a.v, b.v)}; }
// Lane by lane: `yes` where the mask is set, `no` elsewhere.
DITHERING_VEC128_INLINE F32x4 select(Mask32x4 m, F32x4 yes, F32x4 no) {
    return {_mm_or_ps(_mm_and_ps(m.v, yes.v), _mm_andnot_ps(m.v, no.v))};
}
// Bit k set when lane k of the mask is.
DITHERING_VEC128_INLINE unsigned bits(Mask32x4 m) {
    return static_cast<unsigned>(_mm_movemask_ps(m.v));
}
DITHERING_VEC128_INLINE float first(F32x4 a) { return _mm_cvtss_f32(a.v); }
DITHERING_VEC128_INLINE float second(F32x4 a) {
    return _mm_cvtss_f32(_mm_shuffle_ps(a.v, a.v, _MM_SHUFFLE(1, 1, 1, 1)));
}
DITHERING_VEC128_INLINE float third(F32x4 a) { return _mm_cvtss_f32(_mm_movehl_ps(a.v, a.v)); }
DITHERING_VEC128_INLINE float fourth(F32x4 a) {
    return _mm_cvtss_f32(_mm_shuffle_ps(a.v, a.v, _MM_SHUFFLE(3, 3, 3, 3)));
}
// a where the mask is set, +0 elsewhere.
DITHERING_VEC128_INLINE F32x4 keep(Mask32x4 m, F32x4 a) { return {_mm_and_ps(m.v, a.v)}; }

struct I32x4 {
    __m128i v;
};

DITHERING_VEC128_INLINE I32x4 splat_int(std::int32_t x) { return {_mm_set1_epi32(x)}; }
DITHERING_VEC128_INLINE I32x4 load4(const std::int32_t* p) {
    return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))};
}
DITHERING_VEC128_INLINE void store4(std::int32_t* p, I32x4 a) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), a.v);
}
// Wrapping 32-bit addition and subtraction.
DITHERING_VEC128_INLINE I32x4 operator+(I32x4 a, I32x4 b) { return {_mm_add_epi32(a.v, b.v)}; }
DITHERING_VEC128_INLINE I32x4 operator-(I32x4 a, I32x4 b) { return {_mm_sub_epi32(a.v, b.v)}; }
DITHERING_VEC128_INLINE Mask32x4 greater(I32x4 a, I32x4 b) {
    return {_mm_castsi128_ps(_mm_cmpgt_epi32(a.v, b.v))};
}
// -1 where the mask is set, 0 elsewhere.
DITHERING_VEC128_INLINE I32x4 as_int(Mask32x4 m) { return {_mm_castps_si128(m.v)}; }
// Rounded to nearest, ties to even.
DITHERING_VEC128_INLINE F32x4 to_float(I32x4 a) { return {_mm_cvtepi32_ps(a.v)}; }
// Towards zero; only for values inside the int32 range (NaN and values
// beyond it give other lanes on other processors).
DITHERING_VEC128_INLINE I32x4 truncate(F32x4 a) { return {_mm_cvttps_epi32(a.v)}; }
// The eight bytes at p as 32-bit lanes, the first four in `low`.
DITHERING_VEC128_INLINE void widen_bytes(const std::uint8_t* p, I32x4& low, I32x4& high) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i words =
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
    low.v = _mm_unpacklo_epi16(words, zero);
    high.v = _mm_unpackhi_epi16(words, zero);
}
// Lane index[i] (0..7) of the eight lanes of `low` and `high`. SSE2 has
// no variable shuffle: lane by lane through memory.
DITHERING_VEC128_INLINE I32x4 lookup8(I32x4 low, I32x4 high, I32x4 index) {
    alignas(16) std::int32_t table[8], at[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(table), low.v);
    _mm_store_si128(reinterpret_cast<__m128i*>(table + 4), high.v);
    _mm_store_si128(reinterpret_cast<__m128i*>(at), index.v);
    return {_mm_setr_epi32(table[at[0]], table[at[1]], table[at[2]], table[at[3]])};
}
// Lanes (2, 3, 0, 1) and (1, 0, 3, 2): the two steps of a reduction.
DITHERING_VEC128_INLINE F32x4 swap_halves(F32x4 a) {
    return {_mm_shuffle_ps(a.v, a.v, _MM_SHUFFLE(1, 0, 3, 2))};
}
DITHERING_VEC128_INLINE F32x4 swap_neighbours(F32x4 a) {
    return {_mm_shuffle_ps(a.v, a.v, _MM_SHUFFLE(2, 3, 0, 1))};
}

DITHERING_VEC128_INLINE F64x2 splat2(double x) { return {_mm_set1_pd(x)}; }
DITHERING_VEC128_INLINE F64x2 load2(const double* p) { return {_mm_loadu_pd(p)}; }
DITHERING_VEC128_INLINE void store2(double* p, F64x2 a) { _mm_storeu_pd(p, a.v); }
DITHERING_VEC128_INLINE F64x2 operator+(F64x2 a, F64x2 b) { return {_mm_add_pd(a.v, b.v)}; }
DITHERING_VEC128_INLINE F64x2 operator-(F64x2 a, F64x2 b) { return {_mm_sub_pd(a.v, b.v)}; }
DITHERING_VEC128_INLINE F64x2 operator*(F64x2 a, F64x2 b) { return {_mm_mul_pd(a.v, b.v)}; }
DITHERING_VEC128_INLINE F64x2 max(F64x2 a, F64x2 b) { return {_mm_max_pd(a.v, b.v)}; }
DITHERING_VEC128_INLINE Mask64x2 greater(F64x2 a, F64x2 b) { return {_mm_cmpgt_pd(a.v, b.v)}; }
DITHERING_VEC128_INLINE unsigned bits(Mask64x2 m) {
    return static_cast<unsigned>(_mm_movemask_pd(m.v));
}

struct U8x16 {
    __m128i v;
};

DITHERING_VEC128_INLINE U8x16 load16(const std::uint8_t* p) {
    return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))};
}
DITHERING_VEC128_INLINE void store16(std::uint8_t* p, U8x16 a) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), a.v);
}
// Wrapping byte addition.
DITHERING_VEC128_INLINE U8x16 operator+(U8x16 a, U8x16 b) { return {_mm_add_epi8(a.v, b.v)}; }
DITHERING_VEC128_INLINE U8x16 operator&(U8x16 a, U8x16 b) { return {_mm_and_si128(a.v, b.v)}; }
DITHERING_VEC128_INLINE U8x16 operator|(U8x16 a, U8x16 b) { return {_mm_or_si128(a.v, b.v)}; }
// a & ~b.
DITHERING_VEC128_INLINE U8x16 and_not(U8x16 a, U8x16 b) { return {_mm_andnot_si128(b.v, a.v)}; }
DITHERING_VEC128_INLINE U8x16 min(U8x16 a, U8x16 b) { return {_mm_min_epu8(a.v, b.v)}; }
// 0xff where the bytes are equal, 0 elsewhere.
DITHERING_VEC128_INLINE U8x16 equal(U8x16 a, U8x16 b) { return {_mm_cmpeq_epi8(a.v, b.v)}; }
// Bytes 0..7 of a and b interleaved (a0 b0 a1 b1 ...), and bytes 8..15.
DITHERING_VEC128_INLINE U8x16 zip_low(U8x16 a, U8x16 b) { return {_mm_unpacklo_epi8(a.v, b.v)}; }
DITHERING_VEC128_INLINE U8x16 zip_high(U8x16 a, U8x16 b) { return {_mm_unpackhi_epi8(a.v, b.v)}; }
// Sixteen lanes, each 0..255, as bytes in lane order.
DITHERING_VEC128_INLINE U8x16 narrow_to_bytes(I32x4 a, I32x4 b, I32x4 c, I32x4 d) {
    return {_mm_packus_epi16(_mm_packs_epi32(a.v, b.v), _mm_packs_epi32(c.v, d.v))};
}
// Bytes 0..7 to p, and bytes 8..15.
DITHERING_VEC128_INLINE void store_low8(std::uint8_t* p, U8x16 a) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), a.v);
}
DITHERING_VEC128_INLINE void store_high8(std::uint8_t* p, U8x16 a) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_unpackhi_epi64(a.v, a.v));
}

#elif defined(DITHERING_VEC128_NEON)

struct F32x4 {
    float32x4_t v;
};
struct Mask32x4 {
    uint32x4_t v;
};
struct F64x2 {
    float64x2_t v;
};
struct Mask64x2 {
    uint64x2_t v;
};

DITHERING_VEC128_INLINE F32x4 splat(float x) { return {vdupq_n_f32(x)}; }
// Each half from a fresh broadcast, not through an array: GCC builds that
// in a general register by merging into its old contents, which ties every
// vector built so to the one before it (one long chain across the rows a
// loop keeps in flight).
DITHERING_VEC128_INLINE F32x4 lanes(float a, float b, float c, float d) {
    return {vcombine_f32(vset_lane_f32(b, vdup_n_f32(a), 1), vset_lane_f32(d, vdup_n_f32(c), 1))};
}
DITHERING_VEC128_INLINE F32x4 load4(const float* p) { return {vld1q_f32(p)}; }
DITHERING_VEC128_INLINE F32x4 load_first(const float* p) {
    return {vsetq_lane_f32(*p, vdupq_n_f32(0.0f), 0)};
}
DITHERING_VEC128_INLINE void store4(float* p, F32x4 a) { vst1q_f32(p, a.v); }
DITHERING_VEC128_INLINE void store_first(float* p, F32x4 a) { vst1q_lane_f32(p, a.v, 0); }
DITHERING_VEC128_INLINE F32x4 operator+(F32x4 a, F32x4 b) { return {vaddq_f32(a.v, b.v)}; }
DITHERING_VEC128_INLINE F32x4 operator-(F32x4 a, F32x4 b) { return {vsubq_f32(a.v, b.v)}; }
DITHERING_VEC128_INLINE F32x4 operator*(F32x4 a, F32x4 b) { return {vmulq_f32(a.v, b.v)}; }
// Not vminq/vmaxq, which give NaN for a NaN operand: the second operand
// unless the first compares less (greater).
DITHERING_VEC128_INLINE F32x4 min(F32x4 a, F32x4 b) { return {vbslq_f32(vcltq_f32(a.v, b.v), a.v, b.v)}; }
DITHERING_VEC128_INLINE F32x4 max(F32x4 a, F32x4 b) { return {vbslq_f32(vcgtq_f32(a.v, b.v), a.v, b.v)}; }
DITHERING_VEC128_INLINE Mask32x4 less(F32x4 a, F32x4 b) { return {vcltq_f32(a.v, b.v)}; }
DITHERING_VEC128_INLINE Mask32x4 less_equal(F32x4 a, F32x4 b) { return {vcleq_f32(a.v, b.v)}; }
DITHERING_VEC128_INLINE Mask32x4 equal(F32x4 a, F32x4 b) { return {vceqq_f32(a.v, b.v)}; }
DITHERING_VEC128_INLINE Mask32x4 operator&(Mask32x4 a, Mask32x4 b) { return {vandq_u32(a.v, b.v)}; }
DITHERING_VEC128_INLINE Mask32x4 operator|(Mask32x4 a, Mask32x4 b) { return {vorrq_u32(a.v, b.v)}; }
DITHERING_VEC128_INLINE F32x4 select(Mask32x4 m, F32x4 yes, F32x4 no) {
    return {vbslq_f32(m.v, yes.v, no.v)};
}
DITHERING_VEC128_INLINE unsigned bits(Mask32x4 m) {
    const uint32x4_t weight = {1, 2, 4, 8};
    return vaddvq_u32(vandq_u32(m.v, weight));
}
DITHERING_VEC128_INLINE float first(F32x4 a) { return vgetq_lane_f32(a.v, 0); }
DITHERING_VEC128_INLINE float second(F32x4 a) { return vgetq_lane_f32(a.v, 1); }
DITHERING_VEC128_INLINE float third(F32x4 a) { return vgetq_lane_f32(a.v, 2); }
DITHERING_VEC128_INLINE float fourth(F32x4 a) { return vgetq_lane_f32(a.v, 3); }
DITHERING_VEC128_INLINE F32x4 keep(Mask32x4 m, F32x4 a) {
    return {vreinterpretq_f32_u32(vandq_u32(m.v, vreinterpretq_u32_f32(a.v)))};
}

struct I32x4 {
    int32x4_t v;
};

DITHERING_VEC128_INLINE I32x4 splat_int(std::int32_t x) { return {vdupq_n_s32(x)}; }
DITHERING_VEC128_INLINE I32x4 load4(const std::int32_t* p) { return {vld1q_s32(p)}; }
DITHERING_VEC128_INLINE void store4(std::int32_t* p, I32x4 a) { vst1q_s32(p, a.v); }
DITHERING_VEC128_INLINE I32x4 operator+(I32x4 a, I32x4 b) { return {vaddq_s32(a.v, b.v)}; }
DITHERING_VEC128_INLINE I32x4 operator-(I32x4 a, I32x4 b) { return {vsubq_s32(a.v, b.v)}; }
DITHERING_VEC128_INLINE Mask32x4 greater(I32x4 a, I32x4 b) { return {vcgtq_s32(a.v, b.v)}; }
DITHERING_VEC128_INLINE I32x4 as_int(Mask32x4 m) { return {vreinterpretq_s32_u32(m.v)}; }
DITHERING_VEC128_INLINE F32x4 to_float(I32x4 a) { return {vcvtq_f32_s32(a.v)}; }
DITHERING_VEC128_INLINE I32x4 truncate(F32x4 a) { return {vcvtq_s32_f32(a.v)}; }
DITHERING_VEC128_INLINE void widen_bytes(const std::uint8_t* p, I32x4& low, I32x4& high) {
    const uint16x8_t words = vmovl_u8(vld1_u8(p));
    low.v = vreinterpretq_s32_u32(vmovl_u16(vget_low_u16(words)));
    high.v = vreinterpretq_s32_u32(vmovl_u16(vget_high_u16(words)));
}
// A byte table lookup over the 32 bytes of the two vectors: lane i takes
// bytes 4 * index[i] + 0..3.
DITHERING_VEC128_INLINE I32x4 lookup8(I32x4 low, I32x4 high, I32x4 index) {
    const uint8x16x2_t table = {{vreinterpretq_u8_s32(low.v), vreinterpretq_u8_s32(high.v)}};
    const uint32x4_t first_byte = vshlq_n_u32(vreinterpretq_u32_s32(index.v), 2);
    const uint32x4_t bytes =
        vaddq_u32(vmulq_n_u32(first_byte, 0x01010101u), vdupq_n_u32(0x03020100u));
    return {vreinterpretq_s32_u8(vqtbl2q_u8(table, vreinterpretq_u8_u32(bytes)))};
}
DITHERING_VEC128_INLINE F32x4 swap_halves(F32x4 a) { return {vextq_f32(a.v, a.v, 2)}; }
DITHERING_VEC128_INLINE F32x4 swap_neighbours(F32x4 a) { return {vrev64q_f32(a.v)}; }

DITHERING_VEC128_INLINE F64x2 splat2(double x) { return {vdupq_n_f64(x)}; }
DITHERING_VEC128_INLINE F64x2 load2(const double* p) { return {vld1q_f64(p)}; }
DITHERING_VEC128_INLINE void store2(double* p, F64x2 a) { vst1q_f64(p, a.v); }
DITHERING_VEC128_INLINE F64x2 operator+(F64x2 a, F64x2 b) { return {vaddq_f64(a.v, b.v)}; }
DITHERING_VEC128_INLINE F64x2 operator-(F64x2 a, F64x2 b) { return {vsubq_f64(a.v, b.v)}; }
DITHERING_VEC128_INLINE F64x2 operator*(F64x2 a, F64x2 b) { return {vmulq_f64(a.v, b.v)}; }
DITHERING_VEC128_INLINE F64x2 max(F64x2 a, F64x2 b) { return {vbslq_f64(vcgtq_f64(a.v, b.v), a.v, b.v)}; }
DITHERING_VEC128_INLINE Mask64x2 greater(F64x2 a, F64x2 b) { return {vcgtq_f64(a.v, b.v)}; }
DITHERING_VEC128_INLINE unsigned bits(Mask64x2 m) {
    return static_cast<unsigned>((vgetq_lane_u64(m.v, 0) & 1) | (vgetq_lane_u64(m.v, 1) & 2));
}

struct U8x16 {
    uint8x16_t v;
};

DITHERING_VEC128_INLINE U8x16 load16(const std::uint8_t* p) { return {vld1q_u8(p)}; }
DITHERING_VEC128_INLINE void store16(std::uint8_t* p, U8x16 a) { vst1q_u8(p, a.v); }
DITHERING_VEC128_INLINE U8x16 operator+(U8x16 a, U8x16 b) { return {vaddq_u8(a.v, b.v)}; }
DITHERING_VEC128_INLINE U8x16 operator&(U8x16 a, U8x16 b) { return {vandq_u8(a.v, b.v)}; }
DITHERING_VEC128_INLINE U8x16 operator|(U8x16 a, U8x16 b) { return {vorrq_u8(a.v, b.v)}; }
DITHERING_VEC128_INLINE U8x16 and_not(U8x16 a, U8x16 b) { return {vbicq_u8(a.v, b.v)}; }
DITHERING_VEC128_INLINE U8x16 min(U8x16 a, U8x16 b) { return {vminq_u8(a.v, b.v)}; }
DITHERING_VEC128_INLINE U8x16 equal(U8x16 a, U8x16 b) { return {vceqq_u8(a.v, b.v)}; }
DITHERING_VEC128_INLINE U8x16 zip_low(U8x16 a, U8x16 b) { return {vzip1q_u8(a.v, b.v)}; }
DITHERING_VEC128_INLINE U8x16 zip_high(U8x16 a, U8x16 b) { return {vzip2q_u8(a.v, b.v)}; }
DITHERING_VEC128_INLINE U8x16 narrow_to_bytes(I32x4 a, I32x4 b, I32x4 c, I32x4 d) {
    const uint16x8_t first = vcombine_u16(vmovn_u32(vreinterpretq_u32_s32(a.v)),
                                          vmovn_u32(vreinterpretq_u32_s32(b.v)));
    const uint16x8_t second = vcombine_u16(vmovn_u32(vreinterpretq_u32_s32(c.v)),
                                           vmovn_u32(vreinterpretq_u32_s32(d.v)));
    return {vcombine_u8(vmovn_u16(first), vmovn_u16(second))};
}
DITHERING_VEC128_INLINE void store_low8(std::uint8_t* p, U8x16 a) { vst1_u8(p, vget_low_u8(a.v)); }
DITHERING_VEC128_INLINE void store_high8(std::uint8_t* p, U8x16 a) { vst1_u8(p, vget_high_u8(a.v)); }

#else

// The portable form: the same rules, one lane at a time.
struct F32x4 {
    float v[4];
};
struct Mask32x4 {
    bool v[4];
};
struct F64x2 {
    double v[2];
};
struct Mask64x2 {
    bool v[2];
};

#define DITHERING_VEC_LANES(T, n, expr) \
    T r;                                \
    for (int i = 0; i < (n); ++i) r.v[i] = (expr); \
    return r

DITHERING_VEC128_INLINE F32x4 splat(float x) { return {{x, x, x, x}}; }
DITHERING_VEC128_INLINE F32x4 lanes(float a, float b, float c, float d) { return {{a, b, c, d}}; }
DITHERING_VEC128_INLINE F32x4 load4(const float* p) { return {{p[0], p[1], p[2], p[3]}}; }
DITHERING_VEC128_INLINE F32x4 load_first(const float* p) { return {{p[0], 0.0f, 0.0f, 0.0f}}; }
DITHERING_VEC128_INLINE void store4(float* p, F32x4 a) {
    for (int i = 0; i < 4; ++i) p[i] = a.v[i];
}
DITHERING_VEC128_INLINE void store_first(float* p, F32x4 a) { p[0] = a.v[0]; }
DITHERING_VEC128_INLINE F32x4 operator+(F32x4 a, F32x4 b) { DITHERING_VEC_LANES(F32x4, 4, a.v[i] + b.v[i]); }
DITHERING_VEC128_INLINE F32x4 operator-(F32x4 a, F32x4 b) { DITHERING_VEC_LANES(F32x4, 4, a.v[i] - b.v[i]); }
DITHERING_VEC128_INLINE F32x4 operator*(F32x4 a, F32x4 b) { DITHERING_VEC_LANES(F32x4, 4, a.v[i] * b.v[i]); }
DITHERING_VEC128_INLINE F32x4 min(F32x4 a, F32x4 b) { DITHERING_VEC_LANES(F32x4, 4, a.v[i] < b.v[i] ? a.v[i] : b.v[i]); }
DITHERING_VEC128_INLINE F32x4 max(F32x4 a, F32x4 b) { DITHERING_VEC_LANES(F32x4, 4, a.v[i] > b.v[i] ? a.v[i] : b.v[i]); }
DITHERING_VEC128_INLINE Mask32x4 less(F32x4 a, F32x4 b) { DITHERING_VEC_LANES(Mask32x4, 4, a.v[i] < b.v[i]); }
DITHERING_VEC128_INLINE Mask32x4 less_equal(F32x4 a, F32x4 b) { DITHERING_VEC_LANES(Mask32x4, 4, a.v[i] <= b.v[i]); }
DITHERING_VEC128_INLINE Mask32x4 equal(F32x4 a, F32x4 b) { DITHERING_VEC_LANES(Mask32x4, 4, a.v[i] == b.v[i]); }
DITHERING_VEC128_INLINE Mask32x4 operator&(Mask32x4 a, Mask32x4 b) { DITHERING_VEC_LANES(Mask32x4, 4, a.v[i] && b.v[i]); }
DITHERING_VEC128_INLINE Mask32x4 operator|(Mask32x4 a, Mask32x4 b) { DITHERING_VEC_LANES(Mask32x4, 4, a.v[i] || b.v[i]); }
DITHERING_VEC128_INLINE F32x4 select(Mask32x4 m, F32x4 yes, F32x4 no) { DITHERING_VEC_LANES(F32x4, 4, m.v[i] ? yes.v[i] : no.v[i]); }
DITHERING_VEC128_INLINE unsigned bits(Mask32x4 m) {
    unsigned r = 0;
    for (unsigned i = 0; i < 4; ++i) r |= m.v[i] ? 1u << i : 0u;
    return r;
}
DITHERING_VEC128_INLINE float first(F32x4 a) { return a.v[0]; }
DITHERING_VEC128_INLINE float second(F32x4 a) { return a.v[1]; }
DITHERING_VEC128_INLINE float third(F32x4 a) { return a.v[2]; }
DITHERING_VEC128_INLINE float fourth(F32x4 a) { return a.v[3]; }
DITHERING_VEC128_INLINE F32x4 keep(Mask32x4 m, F32x4 a) { DITHERING_VEC_LANES(F32x4, 4, m.v[i] ? a.v[i] : 0.0f); }

struct I32x4 {
    std::int32_t v[4];
};

// The integer lanes wrap as the vector instructions do, computed unsigned
// (signed overflow is undefined in C++).
DITHERING_VEC128_INLINE std::int32_t wrap(std::uint32_t x) {
    std::int32_t r;
    std::memcpy(&r, &x, sizeof r);
    return r;
}
DITHERING_VEC128_INLINE I32x4 splat_int(std::int32_t x) { return {{x, x, x, x}}; }
DITHERING_VEC128_INLINE I32x4 load4(const std::int32_t* p) { return {{p[0], p[1], p[2], p[3]}}; }
DITHERING_VEC128_INLINE void store4(std::int32_t* p, I32x4 a) {
    for (int i = 0; i < 4; ++i) p[i] = a.v[i];
}
DITHERING_VEC128_INLINE I32x4 operator+(I32x4 a, I32x4 b) {
    DITHERING_VEC_LANES(I32x4, 4, wrap(static_cast<std::uint32_t>(a.v[i]) + static_cast<std::uint32_t>(b.v[i])));
}
DITHERING_VEC128_INLINE I32x4 operator-(I32x4 a, I32x4 b) {
    DITHERING_VEC_LANES(I32x4, 4, wrap(static_cast<std::uint32_t>(a.v[i]) - static_cast<std::uint32_t>(b.v[i])));
}
DITHERING_VEC128_INLINE Mask32x4 greater(I32x4 a, I32x4 b) { DITHERING_VEC_LANES(Mask32x4, 4, a.v[i] > b.v[i]); }
DITHERING_VEC128_INLINE I32x4 as_int(Mask32x4 m) { DITHERING_VEC_LANES(I32x4, 4, m.v[i] ? -1 : 0); }
DITHERING_VEC128_INLINE F32x4 to_float(I32x4 a) { DITHERING_VEC_LANES(F32x4, 4, static_cast<float>(a.v[i])); }
DITHERING_VEC128_INLINE I32x4 truncate(F32x4 a) { DITHERING_VEC_LANES(I32x4, 4, static_cast<std::int32_t>(a.v[i])); }
DITHERING_VEC128_INLINE void widen_bytes(const std::uint8_t* p, I32x4& low, I32x4& high) {
    for (int i = 0; i < 4; ++i) {
        low.v[i] = p[i];
        high.v[i] = p[i + 4];
    }
}
DITHERING_VEC128_INLINE I32x4 lookup8(I32x4 low, I32x4 high, I32x4 index) {
    DITHERING_VEC_LANES(I32x4, 4, index.v[i] < 4 ? low.v[index.v[i]] : high.v[index.v[i] - 4]);
}
DITHERING_VEC128_INLINE F32x4 swap_halves(F32x4 a) { return {{a.v[2], a.v[3], a.v[0], a.v[1]}}; }
DITHERING_VEC128_INLINE F32x4 swap_neighbours(F32x4 a) { return {{a.v[1], a.v[0], a.v[3], a.v[2]}}; }

DITHERING_VEC128_INLINE F64x2 splat2(double x) { return {{x, x}}; }
DITHERING_VEC128_INLINE F64x2 load2(const double* p) { return {{p[0], p[1]}}; }
DITHERING_VEC128_INLINE void store2(double* p, F64x2 a) { p[0] = a.v[0]; p[1] = a.v[1]; }
DITHERING_VEC128_INLINE F64x2 operator+(F64x2 a, F64x2 b) { DITHERING_VEC_LANES(F64x2, 2, a.v[i] + b.v[i]); }
DITHERING_VEC128_INLINE F64x2 operator-(F64x2 a, F64x2 b) { DITHERING_VEC_LANES(F64x2, 2, a.v[i] - b.v[i]); }
DITHERING_VEC128_INLINE F64x2 operator*(F64x2 a, F64x2 b) { DITHERING_VEC_LANES(F64x2, 2, a.v[i] * b.v[i]); }
DITHERING_VEC128_INLINE F64x2 max(F64x2 a, F64x2 b) { DITHERING_VEC_LANES(F64x2, 2, a.v[i] > b.v[i] ? a.v[i] : b.v[i]); }
DITHERING_VEC128_INLINE Mask64x2 greater(F64x2 a, F64x2 b) { DITHERING_VEC_LANES(Mask64x2, 2, a.v[i] > b.v[i]); }
DITHERING_VEC128_INLINE unsigned bits(Mask64x2 m) { return (m.v[0] ? 1u : 0u) | (m.v[1] ? 2u : 0u); }

struct U8x16 {
    std::uint8_t v[16];
};

DITHERING_VEC128_INLINE U8x16 load16(const std::uint8_t* p) {
    U8x16 r;
    for (int i = 0; i < 16; ++i) r.v[i] = p[i];
    return r;
}
DITHERING_VEC128_INLINE void store16(std::uint8_t* p, U8x16 a) {
    for (int i = 0; i < 16; ++i) p[i] = a.v[i];
}
DITHERING_VEC128_INLINE U8x16 operator+(U8x16 a, U8x16 b) { DITHERING_VEC_LANES(U8x16, 16, static_cast<std::uint8_t>(a.v[i] + b.v[i])); }
DITHERING_VEC128_INLINE U8x16 operator&(U8x16 a, U8x16 b) { DITHERING_VEC_LANES(U8x16, 16, static_cast<std::uint8_t>(a.v[i] & b.v[i])); }
DITHERING_VEC128_INLINE U8x16 operator|(U8x16 a, U8x16 b) { DITHERING_VEC_LANES(U8x16, 16, static_cast<std::uint8_t>(a.v[i] | b.v[i])); }
DITHERING_VEC128_INLINE U8x16 and_not(U8x16 a, U8x16 b) { DITHERING_VEC_LANES(U8x16, 16, static_cast<std::uint8_t>(a.v[i] & ~b.v[i])); }
DITHERING_VEC128_INLINE U8x16 min(U8x16 a, U8x16 b) { DITHERING_VEC_LANES(U8x16, 16, a.v[i] < b.v[i] ? a.v[i] : b.v[i]); }
DITHERING_VEC128_INLINE U8x16 equal(U8x16 a, U8x16 b) { DITHERING_VEC_LANES(U8x16, 16, static_cast<std::uint8_t>(a.v[i] == b.v[i] ? 0xff : 0)); }
DITHERING_VEC128_INLINE U8x16 zip_low(U8x16 a, U8x16 b) { DITHERING_VEC_LANES(U8x16, 16, i % 2 == 0 ? a.v[i / 2] : b.v[i / 2]); }
DITHERING_VEC128_INLINE U8x16 zip_high(U8x16 a, U8x16 b) { DITHERING_VEC_LANES(U8x16, 16, i % 2 == 0 ? a.v[8 + i / 2] : b.v[8 + i / 2]); }
DITHERING_VEC128_INLINE U8x16 narrow_to_bytes(I32x4 a, I32x4 b, I32x4 c, I32x4 d) {
    const I32x4* quarters[4] = {&a, &b, &c, &d};
    DITHERING_VEC_LANES(U8x16, 16, static_cast<std::uint8_t>(quarters[i / 4]->v[i % 4]));
}
DITHERING_VEC128_INLINE void store_low8(std::uint8_t* p, U8x16 a) {
    for (int i = 0; i < 8; ++i) p[i] = a.v[i];
}
DITHERING_VEC128_INLINE void store_high8(std::uint8_t* p, U8x16 a) {
    for (int i = 0; i < 8; ++i) p[i] = a.v[8 + i];
}

#undef DITHERING_VEC_LANES

#endif

// ---- Byte operations of the threshold compare rows ----
// Kept apart from the blocks above so that each group of loops adds its
// own operations in one place.

#if defined(DITHERING_VEC128_SSE2)
DITHERING_VEC128_INLINE U8x16 splat16(std::uint8_t x) {
    return {_mm_set1_epi8(static_cast<char>(x))};
}
// Wrapping byte subtraction.
DITHERING_VEC128_INLINE U8x16 operator-(U8x16 a, U8x16 b) { return {_mm_sub_epi8(a.v, b.v)}; }
DITHERING_VEC128_INLINE U8x16 operator^(U8x16 a, U8x16 b) { return {_mm_xor_si128(a.v, b.v)}; }
// 0xff where a > b as signed bytes, 0 elsewhere.
DITHERING_VEC128_INLINE U8x16 greater_signed(U8x16 a, U8x16 b) {
    return {_mm_cmpgt_epi8(a.v, b.v)};
}
// table[index] for an index 0..15, 0 for one with its top bit set (other
// indices are not used). SSE2 has no byte shuffle: byte by byte through
// memory.
DITHERING_VEC128_INLINE U8x16 lookup16(U8x16 table, U8x16 index) {
    alignas(16) std::uint8_t t[16], at[16], r[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(t), table.v);
    _mm_store_si128(reinterpret_cast<__m128i*>(at), index.v);
    for (int i = 0; i < 16; ++i) r[i] = (at[i] & 0x80) != 0 ? 0 : t[at[i] & 15];
    return {_mm_load_si128(reinterpret_cast<const __m128i*>(r))};
}
#elif defined(DITHERING_VEC128_NEON)
DITHERING_VEC128_INLINE U8x16 splat16(std::uint8_t x) { return {vdupq_n_u8(x)}; }
DITHERING_VEC128_INLINE U8x16 operator-(U8x16 a, U8x16 b) { return {vsubq_u8(a.v, b.v)}; }
DITHERING_VEC128_INLINE U8x16 operator^(U8x16 a, U8x16 b) { return {veorq_u8(a.v, b.v)}; }
DITHERING_VEC128_INLINE U8x16 greater_signed(U8x16 a, U8x16 b) {
    return {vcgtq_s8(vreinterpretq_s8_u8(a.v), vreinterpretq_s8_u8(b.v))};
}
// One table lookup: an index of 16 or more gives 0.
DITHERING_VEC128_INLINE U8x16 lookup16(U8x16 table, U8x16 index) {
    return {vqtbl1q_u8(table.v, index.v)};
}
#else
DITHERING_VEC128_INLINE U8x16 splat16(std::uint8_t x) {
    U8x16 r;
    for (int i = 0; i < 16; ++i) r.v[i] = x;
    return r;
}
DITHERING_VEC128_INLINE U8x16 operator-(U8x16 a, U8x16 b) {
    U8x16 r;
    for (int i = 0; i < 16; ++i) r.v[i] = static_cast<std::uint8_t>(a.v[i] - b.v[i]);
    return r;
}
DITHERING_VEC128_INLINE U8x16 operator^(U8x16 a, U8x16 b) {
    U8x16 r;
    for (int i = 0; i < 16; ++i) r.v[i] = static_cast<std::uint8_t>(a.v[i] ^ b.v[i]);
    return r;
}
DITHERING_VEC128_INLINE U8x16 greater_signed(U8x16 a, U8x16 b) {
    U8x16 r;
    for (int i = 0; i < 16; ++i) {
        r.v[i] = static_cast<std::int8_t>(a.v[i]) > static_cast<std::int8_t>(b.v[i]) ? 0xff : 0;
    }
    return r;
}
DITHERING_VEC128_INLINE U8x16 lookup16(U8x16 table, U8x16 index) {
    U8x16 r;
    for (int i = 0; i < 16; ++i) r.v[i] = (index.v[i] & 0x80) != 0 ? 0 : table.v[index.v[i] & 15];
    return r;
}
#endif

// ---- 64-bit lanes of the random draws ----
// SplitMix64 in vector lanes. None of these instruction sets multiplies
// 64-bit lanes, so a product modulo 2^64 is built from 32 x 32 -> 64 bit
// products: lo*m_lo plus the cross products lo*m_hi and hi*m_lo shifted up
// by 32 bits, of which only their low 32 bits survive the shift.

#if defined(DITHERING_VEC128_SSE2)
struct U64x2 {
    __m128i v;
};
DITHERING_VEC128_INLINE U64x2 splat_u64(std::uint64_t x) {
    return {_mm_set1_epi64x(static_cast<long long>(x))};
}
DITHERING_VEC128_INLINE U64x2 lanes_u64(std::uint64_t a, std::uint64_t b) {
    return {_mm_set_epi64x(static_cast<long long>(b), static_cast<long long>(a))};
}
// Wrapping.
DITHERING_VEC128_INLINE U64x2 operator+(U64x2 a, U64x2 b) { return {_mm_add_epi64(a.v, b.v)}; }
DITHERING_VEC128_INLINE U64x2 operator^(U64x2 a, U64x2 b) { return {_mm_xor_si128(a.v, b.v)}; }
template <int N>
DITHERING_VEC128_INLINE U64x2 shift_right(U64x2 a) {
    return {_mm_srli_epi64(a.v, N)};
}
// a * b modulo 2^64.
DITHERING_VEC128_INLINE U64x2 multiply(U64x2 a, U64x2 b) {
    const __m128i low = _mm_mul_epu32(a.v, b.v);
    const __m128i cross = _mm_add_epi64(_mm_mul_epu32(_mm_srli_epi64(a.v, 32), b.v),
                                        _mm_mul_epu32(a.v, _mm_srli_epi64(b.v, 32)));
    return {_mm_add_epi64(low, _mm_slli_epi64(cross, 32))};
}
// The high 32 bits of each lane of `even` and `odd`, interleaved:
// even0 odd0 even1 odd1.
DITHERING_VEC128_INLINE I32x4 high_words(U64x2 even, U64x2 odd) {
    const __m128i high = _mm_set1_epi64x(static_cast<long long>(0xffffffff00000000ULL));
    return {_mm_or_si128(_mm_srli_epi64(even.v, 32), _mm_and_si128(odd.v, high))};
}
DITHERING_VEC128_INLINE I32x4 operator^(I32x4 a, I32x4 b) { return {_mm_xor_si128(a.v, b.v)}; }
DITHERING_VEC128_INLINE I32x4 operator&(I32x4 a, I32x4 b) { return {_mm_and_si128(a.v, b.v)}; }
// Sixteen lanes, each -128..127, as bytes in lane order.
DITHERING_VEC128_INLINE U8x16 narrow_signed_to_bytes(I32x4 a, I32x4 b, I32x4 c, I32x4 d) {
    return {_mm_packs_epi16(_mm_packs_epi32(a.v, b.v), _mm_packs_epi32(c.v, d.v))};
}
#elif defined(DITHERING_VEC128_NEON)
struct U64x2 {
    uint64x2_t v;
};
DITHERING_VEC128_INLINE U64x2 splat_u64(std::uint64_t x) { return {vdupq_n_u64(x)}; }
DITHERING_VEC128_INLINE U64x2 lanes_u64(std::uint64_t a, std::uint64_t b) {
    return {vcombine_u64(vcreate_u64(a), vcreate_u64(b))};
}
DITHERING_VEC128_INLINE U64x2 operator+(U64x2 a, U64x2 b) { return {vaddq_u64(a.v, b.v)}; }
DITHERING_VEC128_INLINE U64x2 operator^(U64x2 a, U64x2 b) { return {veorq_u64(a.v, b.v)}; }
template <int N>
DITHERING_VEC128_INLINE U64x2 shift_right(U64x2 a) {
    return {vshrq_n_u64(a.v, N)};
}
// The full low product by vmull_u32, the cross products by 32-bit
// multiplies, widened and shifted up in one step.
DITHERING_VEC128_INLINE U64x2 multiply(U64x2 a, U64x2 b) {
    const uint32x2_t a_low = vmovn_u64(a.v), a_high = vshrn_n_u64(a.v, 32);
    const uint32x2_t b_low = vmovn_u64(b.v), b_high = vshrn_n_u64(b.v, 32);
    const uint32x2_t cross = vadd_u32(vmul_u32(a_low, b_high), vmul_u32(a_high, b_low));
    return {vaddq_u64(vmull_u32(a_low, b_low), vshll_n_u32(cross, 32))};
}
DITHERING_VEC128_INLINE I32x4 high_words(U64x2 even, U64x2 odd) {
    return {vreinterpretq_s32_u32(
        vtrn2q_u32(vreinterpretq_u32_u64(even.v), vreinterpretq_u32_u64(odd.v)))};
}
DITHERING_VEC128_INLINE I32x4 operator^(I32x4 a, I32x4 b) { return {veorq_s32(a.v, b.v)}; }
DITHERING_VEC128_INLINE I32x4 operator&(I32x4 a, I32x4 b) { return {vandq_s32(a.v, b.v)}; }
// Truncation keeps the low byte, which is the byte of a -128..127 lane.
DITHERING_VEC128_INLINE U8x16 narrow_signed_to_bytes(I32x4 a, I32x4 b, I32x4 c, I32x4 d) {
    return narrow_to_bytes(a, b, c, d);
}
#else
struct U64x2 {
    std::uint64_t v[2];
};
DITHERING_VEC128_INLINE U64x2 splat_u64(std::uint64_t x) { return {{x, x}}; }
DITHERING_VEC128_INLINE U64x2 lanes_u64(std::uint64_t a, std::uint64_t b) { return {{a, b}}; }
DITHERING_VEC128_INLINE U64x2 operator+(U64x2 a, U64x2 b) {
    return {{a.v[0] + b.v[0], a.v[1] + b.v[1]}};
}
DITHERING_VEC128_INLINE U64x2 operator^(U64x2 a, U64x2 b) {
    return {{a.v[0] ^ b.v[0], a.v[1] ^ b.v[1]}};
}
template <int N>
DITHERING_VEC128_INLINE U64x2 shift_right(U64x2 a) {
    return {{a.v[0] >> N, a.v[1] >> N}};
}
DITHERING_VEC128_INLINE U64x2 multiply(U64x2 a, U64x2 b) {
    return {{a.v[0] * b.v[0], a.v[1] * b.v[1]}};
}
DITHERING_VEC128_INLINE I32x4 high_words(U64x2 even, U64x2 odd) {
    return {{wrap(static_cast<std::uint32_t>(even.v[0] >> 32)),
             wrap(static_cast<std::uint32_t>(odd.v[0] >> 32)),
             wrap(static_cast<std::uint32_t>(even.v[1] >> 32)),
             wrap(static_cast<std::uint32_t>(odd.v[1] >> 32))}};
}
DITHERING_VEC128_INLINE I32x4 operator^(I32x4 a, I32x4 b) {
    return {{a.v[0] ^ b.v[0], a.v[1] ^ b.v[1], a.v[2] ^ b.v[2], a.v[3] ^ b.v[3]}};
}
DITHERING_VEC128_INLINE I32x4 operator&(I32x4 a, I32x4 b) {
    return {{a.v[0] & b.v[0], a.v[1] & b.v[1], a.v[2] & b.v[2], a.v[3] & b.v[3]}};
}
DITHERING_VEC128_INLINE U8x16 narrow_signed_to_bytes(I32x4 a, I32x4 b, I32x4 c, I32x4 d) {
    return narrow_to_bytes(a, b, c, d);
}
#endif

DITHERING_VEC128_INLINE F32x4 zero4() { return splat(0.0f); }
// x in lane 0, zero in the others.
DITHERING_VEC128_INLINE F32x4 only_first(float x) { return load_first(&x); }
DITHERING_VEC128_INLINE F64x2 zero2() { return splat2(0.0); }

#undef DITHERING_VEC128_INLINE

}  // namespace dithering::simd
