// Sixteen 32-bit lanes in one AVX-512 register, with the lane-width tag
// Lanes16 of the loop bodies written once for any width (lanes8.hpp is
// the 8-lane one). Each operation is the same one rounded IEEE operation
// per lane as the 8-lane type's, with the same rules for NaN, so a body
// gives the same bytes at either width.
//
// Only for a source file that includes this inside an AVX-512 region
// (DITHERING_TARGET_AVX512_BEGIN, simd/compiler.hpp), after every standard
// header, for the reasons vec8_avx2.hpp gives for its AVX2 region.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/simd/arch.hpp"
#include "core/simd/compiler.hpp"
#include "core/simd/intrinsics.hpp"

#if DITHERING_ARCH_X86

namespace dithering::simd {
namespace {

struct F32x16 {
    __m512 v;
};
struct I32x16 {
    __m512i v;
};

DITHERING_ALWAYS_INLINE F32x16 operator+(F32x16 a, F32x16 b) { return {_mm512_add_ps(a.v, b.v)}; }
DITHERING_ALWAYS_INLINE F32x16 operator-(F32x16 a, F32x16 b) { return {_mm512_sub_ps(a.v, b.v)}; }
DITHERING_ALWAYS_INLINE F32x16 operator*(F32x16 a, F32x16 b) { return {_mm512_mul_ps(a.v, b.v)}; }
// Every lane kept: for the zero-masking forms of the operations whose plain
// form GCC 12 writes over an undefined vector, which its -Wuninitialized
// reports. With this mask the instruction is the plain one.
constexpr __mmask16 ALL_LANES = 0xffff;

// Toward zero, as the 8-lane truncate.
DITHERING_ALWAYS_INLINE I32x16 truncate(F32x16 a) {
    return {_mm512_maskz_cvttps_epi32(ALL_LANES, a.v)};
}

// The running minimum with its index (Closest8's step): where d < best
// (ordered: never for a NaN d), best becomes d and index `here`. A mask
// register holds the comparison, and each move under it is one operation.
struct Closest16 {
    F32x16 best, index;
};
DITHERING_ALWAYS_INLINE Closest16 take_closer(Closest16 c, F32x16 d, F32x16 here) {
    const __mmask16 closer = _mm512_cmp_ps_mask(c.best.v, d.v, _CMP_GT_OQ);
    return {{_mm512_mask_mov_ps(c.best.v, closer, d.v)},
            {_mm512_mask_mov_ps(c.index.v, closer, here.v)}};
}

// ---- The palette scans' reductions (vec8_avx2.hpp's, sixteen lanes) ----
// Distances ranked by their bit patterns: see vec8_avx2.hpp.

DITHERING_ALWAYS_INLINE I32x16 as_bits(F32x16 a) { return {_mm512_castps_si512(a.v)}; }
DITHERING_ALWAYS_INLINE I32x16 min_unsigned(I32x16 a, I32x16 b) {
    return {_mm512_maskz_min_epu32(ALL_LANES, a.v, b.v)};
}
// min_unsigned of all sixteen lanes, in every lane: quarters, then pairs
// of quarters' lanes, then neighbours.
DITHERING_ALWAYS_INLINE I32x16 min_unsigned_everywhere(I32x16 a) {
    I32x16 m = min_unsigned(a, {_mm512_maskz_shuffle_i32x4(ALL_LANES, a.v, a.v, 0x4e)});
    m = min_unsigned(m, {_mm512_maskz_shuffle_i32x4(ALL_LANES, m.v, m.v, 0xb1)});
    m = min_unsigned(m, {_mm512_maskz_shuffle_epi32(ALL_LANES, m.v, static_cast<_MM_PERM_ENUM>(0x4e))});
    return min_unsigned(m, {_mm512_maskz_shuffle_epi32(ALL_LANES, m.v, static_cast<_MM_PERM_ENUM>(0xb1))});
}
// Bit i set where lane i of a equals lane i of b: the compare writes a
// mask register.
DITHERING_ALWAYS_INLINE unsigned equal_bits(I32x16 a, I32x16 b) {
    return _mm512_cmpeq_epi32_mask(a.v, b.v);
}
DITHERING_ALWAYS_INLINE std::int32_t first(I32x16 a) {
    return _mm512_cvtsi512_si32(a.v);
}

// ---- The random dither's and the wavefront's lanes (vec8_avx2.hpp's, sixteen) ----

DITHERING_ALWAYS_INLINE I32x16 operator+(I32x16 a, I32x16 b) { return {_mm512_add_epi32(a.v, b.v)}; }
DITHERING_ALWAYS_INLINE I32x16 operator-(I32x16 a, I32x16 b) { return {_mm512_sub_epi32(a.v, b.v)}; }
DITHERING_ALWAYS_INLINE I32x16 operator^(I32x16 a, I32x16 b) { return {_mm512_xor_si512(a.v, b.v)}; }
DITHERING_ALWAYS_INLINE I32x16 operator&(I32x16 a, I32x16 b) { return {_mm512_and_si512(a.v, b.v)}; }
DITHERING_ALWAYS_INLINE F32x16 to_float(I32x16 a) {
    return {_mm512_maskz_cvtepi32_ps(ALL_LANES, a.v)};
}
// As the 8-lane max and min: the second operand where either is NaN.
DITHERING_ALWAYS_INLINE F32x16 max(F32x16 a, F32x16 b) {
    return {_mm512_maskz_max_ps(ALL_LANES, a.v, b.v)};
}
DITHERING_ALWAYS_INLINE F32x16 min(F32x16 a, F32x16 b) {
    return {_mm512_maskz_min_ps(ALL_LANES, a.v, b.v)};
}
// Two 8-lane gathers: GCC 12 writes the 16-lane one, and its cast to the
// low half, over an undefined vector (-Wmaybe-uninitialized), and narrows
// the masked form's mask to a signed type (-Wsign-conversion).
DITHERING_ALWAYS_INLINE F32x16 gather(const float* table, I32x16 index) {
    const __m256 low =
        _mm256_i32gather_ps(table, _mm512_maskz_extracti64x4_epi64(0xf, index.v, 0), 4);
    const __m256 high =
        _mm256_i32gather_ps(table, _mm512_maskz_extracti64x4_epi64(0xf, index.v, 1), 4);
    return {_mm512_maskz_insertf32x8(ALL_LANES, _mm512_castps256_ps512(low), high, 1)};
}
DITHERING_ALWAYS_INLINE I32x16 gather(const std::int32_t* table, I32x16 index) {
    const __m256i low =
        _mm256_i32gather_epi32(table, _mm512_maskz_extracti64x4_epi64(0xf, index.v, 0), 4);
    const __m256i high =
        _mm256_i32gather_epi32(table, _mm512_maskz_extracti64x4_epi64(0xf, index.v, 1), 4);
    return {_mm512_maskz_inserti64x4(0xff, _mm512_castsi256_si512(low), high, 1)};
}
// Lane index[i] of table, for indices 0..15.
DITHERING_ALWAYS_INLINE I32x16 lookup(I32x16 table, I32x16 index) {
    return {_mm512_maskz_permutexvar_epi32(ALL_LANES, index.v, table.v)};
}
// Lane L alone to *p.
template <int L>
DITHERING_ALWAYS_INLINE void store_lane(float* p, F32x16 a) {
    static_assert(L >= 0 && L < 16);
    const __m128 quarter = _mm512_maskz_extractf32x4_ps(0xf, a.v, L / 4);
    if constexpr (L % 4 == 0) {
        _mm_store_ss(p, quarter);
    } else if constexpr (L % 4 == 2) {
        _mm_store_ss(p, _mm_movehl_ps(quarter, quarter));
    } else {
        _mm_store_ss(p, _mm_shuffle_ps(quarter, quarter, _MM_SHUFFLE(L % 4, L % 4, L % 4, L % 4)));
    }
}

// A lane comparison, one bit a lane in a mask register.
struct Mask32x16 {
    __mmask16 m;
};
DITHERING_ALWAYS_INLINE Mask32x16 operator&(Mask32x16 a, Mask32x16 b) {
    return {static_cast<__mmask16>(a.m & b.m)};
}
DITHERING_ALWAYS_INLINE Mask32x16 greater(I32x16 a, I32x16 b) {
    return {_mm512_cmpgt_epi32_mask(a.v, b.v)};
}
// Lane by lane: `yes` where the mask is set, `no` elsewhere.
DITHERING_ALWAYS_INLINE F32x16 select(Mask32x16 m, F32x16 yes, F32x16 no) {
    return {_mm512_mask_blend_ps(m.m, no.v, yes.v)};
}
// a where the mask is set, +0 elsewhere.
DITHERING_ALWAYS_INLINE F32x16 keep(Mask32x16 m, F32x16 a) { return {_mm512_maskz_mov_ps(m.m, a.v)}; }
// Ordered: false where either is NaN.
DITHERING_ALWAYS_INLINE Mask32x16 greater_equal(F32x16 a, F32x16 b) {
    return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_GE_OQ)};
}
// -1 in the lanes the mask holds, 0 elsewhere.
DITHERING_ALWAYS_INLINE I32x16 as_int(Mask32x16 m) { return {_mm512_movm_epi32(m.m)}; }

// Sixty-four bytes.
struct U8x64 {
    __m512i v;
};
// Wrapping byte subtraction.
DITHERING_ALWAYS_INLINE U8x64 operator-(U8x64 a, U8x64 b) { return {_mm512_sub_epi8(a.v, b.v)}; }
// Byte i of each 128-bit block of index (each 0..15) looked up in that
// block of table.
DITHERING_ALWAYS_INLINE U8x64 lookup16(U8x64 table, U8x64 index) {
    return {_mm512_maskz_shuffle_epi8(~__mmask64{0}, table.v, index.v)};
}
// 64 lanes as bytes in lane order, each 0..255 (narrow_to_bytes) or
// -128..127 (narrow_signed_to_bytes). The packs work within 128-bit
// blocks, leaving 4-byte groups in the order a0 b0 c0 d0 | a1 b1 c1 d1 |
// a2 ... | a3 ...; the permute restores a0 a1 a2 a3 b0 ...
DITHERING_ALWAYS_INLINE __m512i lane_order_of_packs(__m512i packed) {
    const __m512i order = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    return _mm512_maskz_permutexvar_epi32(ALL_LANES, order, packed);
}
DITHERING_ALWAYS_INLINE U8x64 narrow_to_bytes(I32x16 a, I32x16 b, I32x16 c, I32x16 d) {
    const __mmask32 words = ~__mmask32{0};
    const __mmask64 bytes = ~__mmask64{0};
    return {lane_order_of_packs(_mm512_maskz_packus_epi16(
        bytes, _mm512_maskz_packs_epi32(words, a.v, b.v), _mm512_maskz_packs_epi32(words, c.v, d.v)))};
}
DITHERING_ALWAYS_INLINE U8x64 narrow_signed_to_bytes(I32x16 a, I32x16 b, I32x16 c, I32x16 d) {
    const __mmask32 words = ~__mmask32{0};
    const __mmask64 bytes = ~__mmask64{0};
    return {lane_order_of_packs(_mm512_maskz_packs_epi16(
        bytes, _mm512_maskz_packs_epi32(words, a.v, b.v), _mm512_maskz_packs_epi32(words, c.v, d.v)))};
}

// Eight 64-bit lanes. AVX-512DQ multiplies them modulo 2^64 in one
// instruction; the high half of a product is built from 32-bit ones as
// vec8_avx2.hpp's is.
struct U64x8 {
    __m512i v;
};
DITHERING_ALWAYS_INLINE U64x8 operator+(U64x8 a, U64x8 b) { return {_mm512_add_epi64(a.v, b.v)}; }
DITHERING_ALWAYS_INLINE U64x8 operator^(U64x8 a, U64x8 b) { return {_mm512_xor_si512(a.v, b.v)}; }
template <int N>
DITHERING_ALWAYS_INLINE U64x8 shift_right(U64x8 a) {
    return {_mm512_maskz_srli_epi64(0xff, a.v, static_cast<unsigned>(N))};
}
// a * b modulo 2^64.
DITHERING_ALWAYS_INLINE U64x8 multiply(U64x8 a, U64x8 b) { return {_mm512_mullo_epi64(a.v, b.v)}; }
// Bits 32..63 of a * b in the high half of each lane; the low half is
// left unspecified.
DITHERING_ALWAYS_INLINE U64x8 multiply_high(U64x8 a, U64x8 b) {
    const __m512i low = _mm512_maskz_mul_epu32(0xff, a.v, b.v);
    const __m512i swapped = _mm512_maskz_shuffle_epi32(ALL_LANES, b.v, _MM_PERM_CDAB);
    const __m512i cross = _mm512_mullo_epi32(a.v, swapped);
    return {_mm512_add_epi32(_mm512_add_epi32(low, cross),
                             _mm512_maskz_slli_epi64(0xff, cross, 32))};
}
// The high 32 bits of each lane, those of `even` and `odd` alternating:
// even0 odd0 even1 odd1 ...
DITHERING_ALWAYS_INLINE I32x16 high_words(U64x8 even, U64x8 odd) {
    return {_mm512_mask_blend_epi32(0xaaaa, _mm512_maskz_srli_epi64(0xff, even.v, 32), odd.v)};
}

struct Lanes16 {
    static constexpr std::size_t N = 16;
    using F32 = F32x16;
    using I32 = I32x16;
    using Closest = Closest16;
    using U64 = U64x8;  // half as many lanes, of 64 bits
    using U8 = U8x64;   // four times as many, of bytes
};

DITHERING_ALWAYS_INLINE F32x16 splat(Lanes16, float x) { return {_mm512_set1_ps(x)}; }
DITHERING_ALWAYS_INLINE F32x16 zero(Lanes16) { return {_mm512_setzero_ps()}; }
DITHERING_ALWAYS_INLINE F32x16 load(Lanes16, const float* p) { return {_mm512_loadu_ps(p)}; }
DITHERING_ALWAYS_INLINE void store(std::int32_t* p, I32x16 a) { _mm512_storeu_si512(p, a.v); }
DITHERING_ALWAYS_INLINE void store(float* p, F32x16 a) { _mm512_storeu_ps(p, a.v); }
DITHERING_ALWAYS_INLINE I32x16 splat_int(Lanes16, std::int32_t x) { return {_mm512_set1_epi32(x)}; }
DITHERING_ALWAYS_INLINE I32x16 widen_bytes(Lanes16, const std::uint8_t* p) {
    return {_mm512_maskz_cvtepu8_epi32(ALL_LANES,
                                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)))};
}
DITHERING_ALWAYS_INLINE U64x8 splat_u64(Lanes16, std::uint64_t x) {
    return {_mm512_set1_epi64(static_cast<long long>(x))};
}
DITHERING_ALWAYS_INLINE U64x8 load_u64(Lanes16, const std::uint64_t* p) {
    return {_mm512_loadu_si512(p)};
}
DITHERING_ALWAYS_INLINE U8x64 splat_bytes(Lanes16, std::uint8_t x) {
    return {_mm512_set1_epi8(static_cast<char>(x))};
}
// The sixteen bytes at p in each 128-bit block, as lookup16's table.
DITHERING_ALWAYS_INLINE U8x64 load16_each_block(Lanes16, const std::uint8_t* p) {
    return {_mm512_maskz_broadcast_i32x4(ALL_LANES,
                                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)))};
}
DITHERING_ALWAYS_INLINE I32x16 load_int(Lanes16, const std::int32_t* p) {
    return {_mm512_loadu_si512(p)};
}
// Eight table entries, for lookup (the other eight lanes 0).
DITHERING_ALWAYS_INLINE I32x16 load_table8(Lanes16, const std::int32_t* p) {
    return {_mm512_maskz_loadu_epi32(0x00ff, p)};
}
// A band of sixteen rows' bytes, kept in two groups of eight (groups[0] +
// at, groups[1] + at), as the lanes of one vector; and the lanes, each
// 0..255, back into them.
DITHERING_ALWAYS_INLINE void load_band_bytes(Lanes16, std::uint8_t* const* groups, std::size_t at,
                                             I32x16 (&lanes)[1]) {
    const __m128i bytes =
        _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(groups[0] + at)),
                           _mm_loadl_epi64(reinterpret_cast<const __m128i*>(groups[1] + at)));
    lanes[0] = {_mm512_maskz_cvtepu8_epi32(ALL_LANES, bytes)};
}
DITHERING_ALWAYS_INLINE void store_band_bytes(Lanes16, std::uint8_t* const* groups, std::size_t at,
                                              const I32x16 (&lanes)[1]) {
    const __m128i bytes = _mm512_maskz_cvtepi32_epi8(ALL_LANES, lanes[0].v);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(groups[0] + at), bytes);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(groups[1] + at), _mm_unpackhi_epi64(bytes, bytes));
}
DITHERING_ALWAYS_INLINE void store_bytes(std::uint8_t* p, U8x64 a) { _mm512_storeu_si512(p, a.v); }
// Bypassing the caches; p 64-byte aligned.
DITHERING_ALWAYS_INLINE void stream_bytes(std::uint8_t* p, U8x64 a) {
    _mm512_stream_si512(reinterpret_cast<__m512i*>(p), a.v);
}

}  // namespace
}  // namespace dithering::simd

#endif  // DITHERING_ARCH_X86
