// The 128-bit vectors of vec128.hpp on SSE2, part of every x86-64.
// Included only through vec128.hpp, which picks one back end per build and
// defines DITHERING_VEC128_INLINE around it.
#pragma once

#include <emmintrin.h>

#include <cstdint>

#ifndef DITHERING_VEC128_INLINE
#error "include core/simd/vec128.hpp, which picks the back end"
#endif

namespace dithering::simd {

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

// ---- Byte operations of the threshold compare rows ----
// Kept apart from the operations above so that each group of loops adds
// its own operations in one place.

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

// ---- Interleaved bytes <-> one vector per channel ----
// Pixels of 2, 3 or 4 one-byte channels, 16 pixels at a time: a load reads
// 16 * C interleaved bytes at p and gives one vector per channel (byte i of
// vector c is byte C * i + c at p); a store is its inverse and writes
// exactly those 16 * C bytes.
//
// SSE2 has no byte shuffle; two whole-register moves do the work, each on
// the 16C bytes seen as one sequence s of n = 16C bytes:
//   riffle    (unpacks) s[k] to place 2k and s[n/2 + k] to place 2k + 1:
//             the byte at place i goes to 2i modulo n - 1 (the last stays);
//   unriffle  (packs) the even bytes, then the odd ones: its inverse.
// The channel-c byte of pixel i sits at place C * i + c and belongs at
// 16 * c + i, which is 16 times its place modulo n - 1 (as 16C = n is 1
// modulo n - 1); interleaving multiplies by C, the inverse of 16. Modulo
// 31, 47 and 63 (two, three and four channels) 16 is 2^4, so four riffles
// deinterleave, or one unriffle for two channels (2^5 = 1 modulo 31);
// C = 2 and 4 are one and two riffles; 3 is 2^-4 modulo 47: four
// unriffles.

namespace sse2_bytes {

// The riffle of 32 and 64 bytes: pairs of unpacks.
DITHERING_VEC128_INLINE void riffle(__m128i& a, __m128i& b) {
    const __m128i low = _mm_unpacklo_epi8(a, b);
    b = _mm_unpackhi_epi8(a, b);
    a = low;
}
DITHERING_VEC128_INLINE void riffle(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
    const __m128i v0 = _mm_unpacklo_epi8(a, c), v1 = _mm_unpackhi_epi8(a, c);
    const __m128i v2 = _mm_unpacklo_epi8(b, d), v3 = _mm_unpackhi_epi8(b, d);
    a = v0;
    b = v1;
    c = v2;
    d = v3;
}
// Of 48 bytes: the second half starts in the middle of b.
DITHERING_VEC128_INLINE void riffle(__m128i& a, __m128i& b, __m128i& c) {
    const __m128i v0 = _mm_unpacklo_epi8(a, _mm_srli_si128(b, 8));
    const __m128i v1 = _mm_unpackhi_epi8(a, _mm_slli_si128(c, 8));
    const __m128i v2 = _mm_unpacklo_epi8(b, _mm_srli_si128(c, 8));
    a = v0;
    b = v1;
    c = v2;
}
// Even bytes are the low bytes of 16-bit lanes, odd ones the high bytes;
// each is 0..255 as a 16-bit lane, which the saturating pack keeps.
DITHERING_VEC128_INLINE __m128i even_bytes(__m128i a) {
    return _mm_and_si128(a, _mm_set1_epi16(0x00ff));
}
DITHERING_VEC128_INLINE __m128i odd_bytes(__m128i a) { return _mm_srli_epi16(a, 8); }
DITHERING_VEC128_INLINE void unriffle(__m128i& a, __m128i& b) {
    const __m128i evens = _mm_packus_epi16(even_bytes(a), even_bytes(b));
    b = _mm_packus_epi16(odd_bytes(a), odd_bytes(b));
    a = evens;
}
DITHERING_VEC128_INLINE void unriffle(__m128i& a, __m128i& b, __m128i& c) {
    const __m128i v0 = _mm_packus_epi16(even_bytes(a), even_bytes(b));
    const __m128i v1 = _mm_packus_epi16(even_bytes(c), odd_bytes(a));
    const __m128i v2 = _mm_packus_epi16(odd_bytes(b), odd_bytes(c));
    a = v0;
    b = v1;
    c = v2;
}

}  // namespace sse2_bytes

DITHERING_VEC128_INLINE void load_deinterleaved2(const std::uint8_t* p, U8x16& a, U8x16& b) {
    a = load16(p);
    b = load16(p + 16);
    sse2_bytes::unriffle(a.v, b.v);
}
DITHERING_VEC128_INLINE void load_deinterleaved3(const std::uint8_t* p, U8x16& a, U8x16& b,
                                                 U8x16& c) {
    a = load16(p);
    b = load16(p + 16);
    c = load16(p + 32);
    sse2_bytes::riffle(a.v, b.v, c.v);
    sse2_bytes::riffle(a.v, b.v, c.v);
    sse2_bytes::riffle(a.v, b.v, c.v);
    sse2_bytes::riffle(a.v, b.v, c.v);
}
DITHERING_VEC128_INLINE void load_deinterleaved4(const std::uint8_t* p, U8x16& a, U8x16& b,
                                                 U8x16& c, U8x16& d) {
    a = load16(p);
    b = load16(p + 16);
    c = load16(p + 32);
    d = load16(p + 48);
    sse2_bytes::riffle(a.v, b.v, c.v, d.v);
    sse2_bytes::riffle(a.v, b.v, c.v, d.v);
    sse2_bytes::riffle(a.v, b.v, c.v, d.v);
    sse2_bytes::riffle(a.v, b.v, c.v, d.v);
}
DITHERING_VEC128_INLINE void store_interleaved2(std::uint8_t* p, U8x16 a, U8x16 b) {
    sse2_bytes::riffle(a.v, b.v);
    store16(p, a);
    store16(p + 16, b);
}
DITHERING_VEC128_INLINE void store_interleaved3(std::uint8_t* p, U8x16 a, U8x16 b, U8x16 c) {
    sse2_bytes::unriffle(a.v, b.v, c.v);
    sse2_bytes::unriffle(a.v, b.v, c.v);
    sse2_bytes::unriffle(a.v, b.v, c.v);
    sse2_bytes::unriffle(a.v, b.v, c.v);
    store16(p, a);
    store16(p + 16, b);
    store16(p + 32, c);
}
DITHERING_VEC128_INLINE void store_interleaved4(std::uint8_t* p, U8x16 a, U8x16 b, U8x16 c,
                                                U8x16 d) {
    sse2_bytes::riffle(a.v, b.v, c.v, d.v);
    sse2_bytes::riffle(a.v, b.v, c.v, d.v);
    store16(p, a);
    store16(p + 16, b);
    store16(p + 32, c);
    store16(p + 48, d);
}

// ---- 64-bit lanes of the random draws ----
// SplitMix64 in vector lanes. SSE2 does not multiply 64-bit lanes, so a
// product modulo 2^64 is built from 32 x 32 -> 64 bit
// products: lo*m_lo plus the cross products lo*m_hi and hi*m_lo shifted up
// by 32 bits, of which only their low 32 bits survive the shift.

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

// ---- 32-bit lanes as unsigned bit patterns ----
// The nearest-colour searches' reductions rank distances by their bit
// patterns (see vec8_avx2.hpp, min_unsigned); kept apart from the
// operations above so that each group of loops adds its own in one place.

// The float lanes' bits, unchanged.
DITHERING_VEC128_INLINE I32x4 as_bits(F32x4 a) { return {_mm_castps_si128(a.v)}; }
// The smaller lane as unsigned 32-bit integers. SSE2 has no such minimum
// (SSE4.1 does): flipping the sign bit of both turns the unsigned order
// into the signed one, which SSE2 compares.
DITHERING_VEC128_INLINE I32x4 min_unsigned(I32x4 a, I32x4 b) {
    const __m128i sign = _mm_set1_epi32(static_cast<int>(0x80000000u));
    const __m128i a_greater =
        _mm_cmpgt_epi32(_mm_xor_si128(a.v, sign), _mm_xor_si128(b.v, sign));
    return {_mm_or_si128(_mm_and_si128(a_greater, b.v), _mm_andnot_si128(a_greater, a.v))};
}
DITHERING_VEC128_INLINE Mask32x4 equal(I32x4 a, I32x4 b) {
    return {_mm_castsi128_ps(_mm_cmpeq_epi32(a.v, b.v))};
}
// Lane by lane: `yes` where the mask is set, `no` elsewhere.
DITHERING_VEC128_INLINE I32x4 select(Mask32x4 m, I32x4 yes, I32x4 no) {
    const __m128i mask = _mm_castps_si128(m.v);
    return {_mm_or_si128(_mm_and_si128(mask, yes.v), _mm_andnot_si128(mask, no.v))};
}

// ---- 32-bit lanes of the grid search ----
// A value's cell in NearestGrid, found on its three coordinates at once;
// kept apart from the operations above so that each group of loops adds
// its own in one place. The per-lane shift (shift_left_each) needs AVX2
// on x86: vec8_avx2.hpp defines it for this form.

DITHERING_VEC128_INLINE I32x4 lanes_int(std::int32_t a, std::int32_t b, std::int32_t c,
                                        std::int32_t d) {
    return {_mm_setr_epi32(a, b, c, d)};
}
// Each lane shifted right by N (1..31), zeros shifted in.
template <int N>
DITHERING_VEC128_INLINE I32x4 shift_right_logical(I32x4 a) {
    static_assert(N >= 1 && N < 32);
    return {_mm_srli_epi32(a.v, N)};
}
DITHERING_VEC128_INLINE I32x4 operator|(I32x4 a, I32x4 b) { return {_mm_or_si128(a.v, b.v)}; }
// The or of the four lanes.
DITHERING_VEC128_INLINE std::uint32_t or_lanes(I32x4 a) {
    __m128i x = _mm_or_si128(a.v, _mm_shuffle_epi32(a.v, _MM_SHUFFLE(1, 0, 3, 2)));
    x = _mm_or_si128(x, _mm_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(x));
}

// ---- Byte interleaves of the channel planes ----

// zip_low and zip_high on elements of 2, 4 and 8 bytes: the low half's
// elements of a and b interleaved, and the high half's.
DITHERING_VEC128_INLINE U8x16 zip_low16(U8x16 a, U8x16 b) { return {_mm_unpacklo_epi16(a.v, b.v)}; }
DITHERING_VEC128_INLINE U8x16 zip_high16(U8x16 a, U8x16 b) {
    return {_mm_unpackhi_epi16(a.v, b.v)};
}
DITHERING_VEC128_INLINE U8x16 zip_low32(U8x16 a, U8x16 b) { return {_mm_unpacklo_epi32(a.v, b.v)}; }
DITHERING_VEC128_INLINE U8x16 zip_high32(U8x16 a, U8x16 b) {
    return {_mm_unpackhi_epi32(a.v, b.v)};
}
DITHERING_VEC128_INLINE U8x16 zip_low64(U8x16 a, U8x16 b) { return {_mm_unpacklo_epi64(a.v, b.v)}; }
DITHERING_VEC128_INLINE U8x16 zip_high64(U8x16 a, U8x16 b) {
    return {_mm_unpackhi_epi64(a.v, b.v)};
}
// Byte by byte: `yes` where the mask byte is 0xff, `no` where it is 0
// (no other mask bytes).
DITHERING_VEC128_INLINE U8x16 select_bytes(U8x16 mask, U8x16 yes, U8x16 no) {
    return {_mm_or_si128(_mm_and_si128(mask.v, yes.v), _mm_andnot_si128(mask.v, no.v))};
}

}  // namespace dithering::simd
