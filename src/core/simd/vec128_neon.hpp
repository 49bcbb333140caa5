// The 128-bit vectors of vec128.hpp on NEON, part of every aarch64.
// Included only through vec128.hpp, which picks one back end per build and
// defines DITHERING_VEC128_INLINE around it.
#pragma once

#include <arm_neon.h>

#include <cstdint>

#ifndef DITHERING_VEC128_INLINE
#error "include core/simd/vec128.hpp, which picks the back end"
#endif

namespace dithering::simd {

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

// ---- Byte operations of the threshold compare rows ----
// Kept apart from the operations above so that each group of loops adds
// its own operations in one place.

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

// ---- Interleaved bytes <-> one vector per channel ----
// Pixels of 2, 3 or 4 one-byte channels, 16 at a time: a load reads the
// 16 * C interleaved bytes at p into one vector per channel (byte i of
// vector c is byte C * i + c at p), a store writes them back. NEON's
// structure loads and stores are exactly these.

DITHERING_VEC128_INLINE void load_deinterleaved2(const std::uint8_t* p, U8x16& a, U8x16& b) {
    const uint8x16x2_t v = vld2q_u8(p);
    a.v = v.val[0];
    b.v = v.val[1];
}
DITHERING_VEC128_INLINE void load_deinterleaved3(const std::uint8_t* p, U8x16& a, U8x16& b,
                                                 U8x16& c) {
    const uint8x16x3_t v = vld3q_u8(p);
    a.v = v.val[0];
    b.v = v.val[1];
    c.v = v.val[2];
}
DITHERING_VEC128_INLINE void load_deinterleaved4(const std::uint8_t* p, U8x16& a, U8x16& b,
                                                 U8x16& c, U8x16& d) {
    const uint8x16x4_t v = vld4q_u8(p);
    a.v = v.val[0];
    b.v = v.val[1];
    c.v = v.val[2];
    d.v = v.val[3];
}
DITHERING_VEC128_INLINE void store_interleaved2(std::uint8_t* p, U8x16 a, U8x16 b) {
    const uint8x16x2_t v = {{a.v, b.v}};
    vst2q_u8(p, v);
}
DITHERING_VEC128_INLINE void store_interleaved3(std::uint8_t* p, U8x16 a, U8x16 b, U8x16 c) {
    const uint8x16x3_t v = {{a.v, b.v, c.v}};
    vst3q_u8(p, v);
}
DITHERING_VEC128_INLINE void store_interleaved4(std::uint8_t* p, U8x16 a, U8x16 b, U8x16 c,
                                                U8x16 d) {
    const uint8x16x4_t v = {{a.v, b.v, c.v, d.v}};
    vst4q_u8(p, v);
}

// ---- 64-bit lanes of the random draws ----
// SplitMix64 in vector lanes. NEON does not multiply 64-bit lanes, so a
// product modulo 2^64 is built from 32 x 32 -> 64 bit
// products: lo*m_lo plus the cross products lo*m_hi and hi*m_lo shifted up
// by 32 bits, of which only their low 32 bits survive the shift.

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

// ---- 32-bit lanes as unsigned bit patterns ----
// The nearest-colour searches' reductions rank distances by their bit
// patterns (see vec8_avx2.hpp, min_unsigned); kept apart from the
// operations above so that each group of loops adds its own in one place.

DITHERING_VEC128_INLINE I32x4 as_bits(F32x4 a) { return {vreinterpretq_s32_f32(a.v)}; }
DITHERING_VEC128_INLINE I32x4 min_unsigned(I32x4 a, I32x4 b) {
    return {vreinterpretq_s32_u32(
        vminq_u32(vreinterpretq_u32_s32(a.v), vreinterpretq_u32_s32(b.v)))};
}
DITHERING_VEC128_INLINE Mask32x4 equal(I32x4 a, I32x4 b) { return {vceqq_s32(a.v, b.v)}; }
DITHERING_VEC128_INLINE I32x4 select(Mask32x4 m, I32x4 yes, I32x4 no) {
    return {vbslq_s32(m.v, yes.v, no.v)};
}

// ---- 32-bit lanes of the grid search ----
// A value's cell in NearestGrid, found on its three coordinates at once;
// kept apart from the operations above so that each group of loops adds
// its own in one place.

// Built as lanes() is, for the same reason.
DITHERING_VEC128_INLINE I32x4 lanes_int(std::int32_t a, std::int32_t b, std::int32_t c,
                                        std::int32_t d) {
    return {vcombine_s32(vset_lane_s32(b, vdup_n_s32(a), 1), vset_lane_s32(d, vdup_n_s32(c), 1))};
}
// Each lane shifted right by N (1..31), zeros shifted in.
template <int N>
DITHERING_VEC128_INLINE I32x4 shift_right_logical(I32x4 a) {
    static_assert(N >= 1 && N < 32);
    return {vreinterpretq_s32_u32(vshrq_n_u32(vreinterpretq_u32_s32(a.v), N))};
}
DITHERING_VEC128_INLINE I32x4 operator|(I32x4 a, I32x4 b) { return {vorrq_s32(a.v, b.v)}; }
// The or of the four lanes: the halves, then the two lanes left.
DITHERING_VEC128_INLINE std::uint32_t or_lanes(I32x4 a) {
    const uint32x4_t u = vreinterpretq_u32_s32(a.v);
    const uint32x2_t h = vorr_u32(vget_low_u32(u), vget_high_u32(u));
    return vget_lane_u32(h, 0) | vget_lane_u32(h, 1);
}
// Each lane of a shifted left by the same lane of counts (0..32), zeros
// shifted in; a count of 32 shifts every bit out, as vshlq does for any
// count from the width up (its counts are signed: a negative one shifts
// right, which 0..32 never is).
DITHERING_VEC128_INLINE I32x4 shift_left_each(I32x4 a, I32x4 counts) {
    return {vreinterpretq_s32_u32(vshlq_u32(vreinterpretq_u32_s32(a.v), counts.v))};
}

// ---- Byte interleaves of the channel planes ----

// zip_low and zip_high on elements of 2, 4 and 8 bytes: the low half's
// elements of a and b interleaved, and the high half's.
DITHERING_VEC128_INLINE U8x16 zip_low16(U8x16 a, U8x16 b) {
    return {vreinterpretq_u8_u16(vzip1q_u16(vreinterpretq_u16_u8(a.v), vreinterpretq_u16_u8(b.v)))};
}
DITHERING_VEC128_INLINE U8x16 zip_high16(U8x16 a, U8x16 b) {
    return {vreinterpretq_u8_u16(vzip2q_u16(vreinterpretq_u16_u8(a.v), vreinterpretq_u16_u8(b.v)))};
}
DITHERING_VEC128_INLINE U8x16 zip_low32(U8x16 a, U8x16 b) {
    return {vreinterpretq_u8_u32(vzip1q_u32(vreinterpretq_u32_u8(a.v), vreinterpretq_u32_u8(b.v)))};
}
DITHERING_VEC128_INLINE U8x16 zip_high32(U8x16 a, U8x16 b) {
    return {vreinterpretq_u8_u32(vzip2q_u32(vreinterpretq_u32_u8(a.v), vreinterpretq_u32_u8(b.v)))};
}
DITHERING_VEC128_INLINE U8x16 zip_low64(U8x16 a, U8x16 b) {
    return {vreinterpretq_u8_u64(vzip1q_u64(vreinterpretq_u64_u8(a.v), vreinterpretq_u64_u8(b.v)))};
}
DITHERING_VEC128_INLINE U8x16 zip_high64(U8x16 a, U8x16 b) {
    return {vreinterpretq_u8_u64(vzip2q_u64(vreinterpretq_u64_u8(a.v), vreinterpretq_u64_u8(b.v)))};
}
// Byte by byte: `yes` where the mask byte is 0xff, `no` where it is 0
// (no other mask bytes: vbslq selects bit by bit).
DITHERING_VEC128_INLINE U8x16 select_bytes(U8x16 mask, U8x16 yes, U8x16 no) {
    return {vbslq_u8(mask.v, yes.v, no.v)};
}

}  // namespace dithering::simd
