// Eight 32-bit lanes in one AVX2 register: the 8-lane vector type of the
// loops written once for several instruction sets (vec8_halves.hpp is the
// same type over two 128-bit halves). Each operation is the same one
// rounded IEEE operation per lane in both, with the x86 rules for NaN.
//
// Only for a source file that includes this inside an AVX2 region
// (DITHERING_TARGET_AVX2_BEGIN, simd/compiler.hpp), after every standard
// header and after simd/intrinsics.hpp and simd/vec128.hpp: the operations
// need the AVX2 target to be inlined, and they are at internal linkage so
// that no function compiled for AVX2 can stand in, at link time, for a
// same-named one compiled without it (which the 4-lane type's operations,
// parsed before the region, are).
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/simd/arch.hpp"
#include "core/simd/compiler.hpp"

// Parsed here, inside the region, the 4-lane type's operations would be
// compiled for AVX2 at external linkage.
#if DITHERING_ARCH_X86 && !defined(DITHERING_VEC128_SSE2) && !defined(DITHERING_PORTABLE_VECTORS)
#error "include core/simd/vec128.hpp before the AVX2 region opens"
#endif

#if DITHERING_ARCH_X86

namespace dithering::simd {
namespace {

#define DITHERING_VEC8_INLINE DITHERING_ALWAYS_INLINE

struct F32x8 {
    __m256 v;
};
struct I32x8 {
    __m256i v;
};
// All bits of a lane set where a comparison held, clear elsewhere.
struct Mask32x8 {
    __m256 v;
};
// 32 bytes, two halves of 16: the byte shuffles work within each half.
struct U8x32 {
    __m256i v;
};

DITHERING_VEC8_INLINE F32x8 splat8(float x) { return {_mm256_set1_ps(x)}; }
DITHERING_VEC8_INLINE I32x8 splat8_int(std::int32_t x) { return {_mm256_set1_epi32(x)}; }
DITHERING_VEC8_INLINE F32x8 zero8() { return {_mm256_setzero_ps()}; }
DITHERING_VEC8_INLINE F32x8 load8(const float* p) { return {_mm256_loadu_ps(p)}; }
DITHERING_VEC8_INLINE I32x8 load8(const std::int32_t* p) {
    return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))};
}
DITHERING_VEC8_INLINE void store8(float* p, F32x8 a) { _mm256_storeu_ps(p, a.v); }
// Lane L alone to *p.
template <int L>
DITHERING_VEC8_INLINE void store_lane(float* p, F32x8 a) {
    static_assert(L >= 0 && L < 8);
    const __m128 half = L < 4 ? _mm256_castps256_ps128(a.v) : _mm256_extractf128_ps(a.v, 1);
    if constexpr (L % 4 == 0) {
        _mm_store_ss(p, half);
    } else if constexpr (L % 4 == 2) {
        _mm_store_ss(p, _mm_movehl_ps(half, half));
    } else {
        _mm_store_ss(p, _mm_shuffle_ps(half, half, _MM_SHUFFLE(L % 4, L % 4, L % 4, L % 4)));
    }
}

DITHERING_VEC8_INLINE F32x8 operator+(F32x8 a, F32x8 b) { return {_mm256_add_ps(a.v, b.v)}; }
DITHERING_VEC8_INLINE F32x8 operator-(F32x8 a, F32x8 b) { return {_mm256_sub_ps(a.v, b.v)}; }
DITHERING_VEC8_INLINE F32x8 operator*(F32x8 a, F32x8 b) { return {_mm256_mul_ps(a.v, b.v)}; }
// The second operand unless the first compares less (greater): a NaN in
// either gives the second.
DITHERING_VEC8_INLINE F32x8 min(F32x8 a, F32x8 b) { return {_mm256_min_ps(a.v, b.v)}; }
DITHERING_VEC8_INLINE F32x8 max(F32x8 a, F32x8 b) { return {_mm256_max_ps(a.v, b.v)}; }
// Ordered: false when either lane is NaN.
DITHERING_VEC8_INLINE Mask32x8 greater_equal(F32x8 a, F32x8 b) {
    return {_mm256_cmp_ps(a.v, b.v, _CMP_GE_OQ)};
}
// Lane by lane: `yes` where the mask is set, `no` elsewhere.
DITHERING_VEC8_INLINE F32x8 select(Mask32x8 m, F32x8 yes, F32x8 no) {
    return {_mm256_blendv_ps(no.v, yes.v, m.v)};
}
// a where the mask is set, +0 elsewhere.
DITHERING_VEC8_INLINE F32x8 keep(Mask32x8 m, F32x8 a) { return {_mm256_and_ps(a.v, m.v)}; }
DITHERING_VEC8_INLINE Mask32x8 operator&(Mask32x8 a, Mask32x8 b) {
    return {_mm256_castsi256_ps(
        _mm256_and_si256(_mm256_castps_si256(a.v), _mm256_castps_si256(b.v)))};
}

// Wrapping 32-bit arithmetic.
DITHERING_VEC8_INLINE I32x8 operator+(I32x8 a, I32x8 b) { return {_mm256_add_epi32(a.v, b.v)}; }
DITHERING_VEC8_INLINE I32x8 operator-(I32x8 a, I32x8 b) { return {_mm256_sub_epi32(a.v, b.v)}; }
DITHERING_VEC8_INLINE Mask32x8 greater(I32x8 a, I32x8 b) {
    return {_mm256_castsi256_ps(_mm256_cmpgt_epi32(a.v, b.v))};
}
// -1 where the mask is set, 0 elsewhere.
DITHERING_VEC8_INLINE I32x8 as_int(Mask32x8 m) { return {_mm256_castps_si256(m.v)}; }
// Rounded to nearest, ties to even.
DITHERING_VEC8_INLINE F32x8 to_float(I32x8 a) { return {_mm256_cvtepi32_ps(a.v)}; }
// Towards zero; only for values inside the int32 range.
DITHERING_VEC8_INLINE I32x8 truncate(F32x8 a) { return {_mm256_cvttps_epi32(a.v)}; }
// The eight bytes at p as lanes.
DITHERING_VEC8_INLINE I32x8 widen_bytes(const std::uint8_t* p) {
    return {_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)))};
}
// table[index] per lane.
DITHERING_VEC8_INLINE F32x8 gather(const float* table, I32x8 index) {
    return {_mm256_i32gather_ps(table, index.v, 4)};
}
DITHERING_VEC8_INLINE I32x8 gather(const std::int32_t* table, I32x8 index) {
    return {_mm256_i32gather_epi32(table, index.v, 4)};
}
// Lane index[i] of table, for indices 0..7.
DITHERING_VEC8_INLINE I32x8 lookup(I32x8 table, I32x8 index) {
    return {_mm256_permutevar8x32_epi32(table.v, index.v)};
}
// Sixteen lanes, each 0..255, as bytes in lane order: those of a to
// first[0..7], those of b to second[0..7].
DITHERING_VEC8_INLINE void store_bytes(std::uint8_t* first, std::uint8_t* second, I32x8 a,
                                       I32x8 b) {
    const __m256i words = _mm256_packus_epi32(a.v, b.v);
    const __m256i packed = _mm256_packus_epi16(words, words);
    const __m256i ordered =
        _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    const __m128i bytes = _mm256_castsi256_si128(ordered);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(first), bytes);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(second), _mm_unpackhi_epi64(bytes, bytes));
}

DITHERING_VEC8_INLINE U8x32 load32(const std::uint8_t* p) {
    return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))};
}
DITHERING_VEC8_INLINE void store32(std::uint8_t* p, U8x32 a) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), a.v);
}
// The first half from `low`, the second from `high`.
DITHERING_VEC8_INLINE U8x32 load_halves(const std::uint8_t* low, const std::uint8_t* high) {
    return {_mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(high),
                                reinterpret_cast<const __m128i*>(low))};
}
DITHERING_VEC8_INLINE void store_halves(std::uint8_t* low, std::uint8_t* high, U8x32 a) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(low), _mm256_castsi256_si128(a.v));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(high), _mm256_extracti128_si256(a.v, 1));
}
// Within each half: bytes 0..7 of a and b interleaved (a0 b0 a1 b1 ...),
// and bytes 8..15.
DITHERING_VEC8_INLINE U8x32 zip_low(U8x32 a, U8x32 b) { return {_mm256_unpacklo_epi8(a.v, b.v)}; }
DITHERING_VEC8_INLINE U8x32 zip_high(U8x32 a, U8x32 b) {
    return {_mm256_unpackhi_epi8(a.v, b.v)};
}
// The same on elements of 2, 4 and 8 bytes: within each half, the low
// half's elements of a and b interleaved, and the high half's.
DITHERING_VEC8_INLINE U8x32 zip_low16(U8x32 a, U8x32 b) {
    return {_mm256_unpacklo_epi16(a.v, b.v)};
}
DITHERING_VEC8_INLINE U8x32 zip_high16(U8x32 a, U8x32 b) {
    return {_mm256_unpackhi_epi16(a.v, b.v)};
}
DITHERING_VEC8_INLINE U8x32 zip_low32(U8x32 a, U8x32 b) {
    return {_mm256_unpacklo_epi32(a.v, b.v)};
}
DITHERING_VEC8_INLINE U8x32 zip_high32(U8x32 a, U8x32 b) {
    return {_mm256_unpackhi_epi32(a.v, b.v)};
}
DITHERING_VEC8_INLINE U8x32 zip_low64(U8x32 a, U8x32 b) {
    return {_mm256_unpacklo_epi64(a.v, b.v)};
}
DITHERING_VEC8_INLINE U8x32 zip_high64(U8x32 a, U8x32 b) {
    return {_mm256_unpackhi_epi64(a.v, b.v)};
}
// Byte by byte: `yes` where the mask byte is 0xff, `no` where it is 0 (no
// other mask bytes: the 128-bit forms select bit by bit).
DITHERING_VEC8_INLINE U8x32 select_bytes(U8x32 mask, U8x32 yes, U8x32 no) {
    return {_mm256_blendv_epi8(no.v, yes.v, mask.v)};
}

// ---- Byte operations of the threshold compare rows ----

DITHERING_VEC8_INLINE U8x32 splat32(std::uint8_t x) {
    return {_mm256_set1_epi8(static_cast<char>(x))};
}
// The 16 bytes at p in each half.
DITHERING_VEC8_INLINE U8x32 load16_twice(const std::uint8_t* p) {
    return {_mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)))};
}
// Bypassing the caches; p 32-byte aligned.
DITHERING_VEC8_INLINE void stream32(std::uint8_t* p, U8x32 a) {
    _mm256_stream_si256(reinterpret_cast<__m256i*>(p), a.v);
}
// Wrapping byte addition and subtraction.
DITHERING_VEC8_INLINE U8x32 operator+(U8x32 a, U8x32 b) { return {_mm256_add_epi8(a.v, b.v)}; }
DITHERING_VEC8_INLINE U8x32 operator-(U8x32 a, U8x32 b) { return {_mm256_sub_epi8(a.v, b.v)}; }
DITHERING_VEC8_INLINE U8x32 operator&(U8x32 a, U8x32 b) { return {_mm256_and_si256(a.v, b.v)}; }
DITHERING_VEC8_INLINE U8x32 operator|(U8x32 a, U8x32 b) { return {_mm256_or_si256(a.v, b.v)}; }
DITHERING_VEC8_INLINE U8x32 operator^(U8x32 a, U8x32 b) { return {_mm256_xor_si256(a.v, b.v)}; }
// a & ~b.
DITHERING_VEC8_INLINE U8x32 and_not(U8x32 a, U8x32 b) { return {_mm256_andnot_si256(b.v, a.v)}; }
DITHERING_VEC8_INLINE U8x32 min(U8x32 a, U8x32 b) { return {_mm256_min_epu8(a.v, b.v)}; }
// 0xff where the bytes are equal (a > b as signed bytes), 0 elsewhere.
DITHERING_VEC8_INLINE U8x32 equal(U8x32 a, U8x32 b) { return {_mm256_cmpeq_epi8(a.v, b.v)}; }
DITHERING_VEC8_INLINE U8x32 greater_signed(U8x32 a, U8x32 b) {
    return {_mm256_cmpgt_epi8(a.v, b.v)};
}
// Within each half, table[index] for an index 0..15 and 0 for one with
// its top bit set (other indices are not used).
DITHERING_VEC8_INLINE U8x32 lookup16(U8x32 table, U8x32 index) {
    return {_mm256_shuffle_epi8(table.v, index.v)};
}

// ---- 64-bit lanes of the random draws ----
// AVX2 has no 64-bit multiply: see vec128.hpp for the product built from
// 32-bit ones. Here one 32-bit multiply of a by b with b's halves swapped
// gives both cross products side by side in each 64-bit lane.

struct U64x4 {
    __m256i v;
};
DITHERING_VEC8_INLINE U64x4 splat_u64x4(std::uint64_t x) {
    return {_mm256_set1_epi64x(static_cast<long long>(x))};
}
DITHERING_VEC8_INLINE U64x4 lanes_u64x4(std::uint64_t a, std::uint64_t b, std::uint64_t c,
                                        std::uint64_t d) {
    return {_mm256_set_epi64x(static_cast<long long>(d), static_cast<long long>(c),
                              static_cast<long long>(b), static_cast<long long>(a))};
}
DITHERING_VEC8_INLINE U64x4 operator+(U64x4 a, U64x4 b) { return {_mm256_add_epi64(a.v, b.v)}; }
DITHERING_VEC8_INLINE U64x4 operator^(U64x4 a, U64x4 b) { return {_mm256_xor_si256(a.v, b.v)}; }
template <int N>
DITHERING_VEC8_INLINE U64x4 shift_right(U64x4 a) {
    return {_mm256_srli_epi64(a.v, N)};
}
// a * b modulo 2^64.
DITHERING_VEC8_INLINE U64x4 multiply(U64x4 a, U64x4 b) {
    const __m256i low = _mm256_mul_epu32(a.v, b.v);
    const __m256i cross =
        _mm256_mullo_epi32(a.v, _mm256_shuffle_epi32(b.v, _MM_SHUFFLE(2, 3, 0, 1)));
    // The high half of `sum` is the sum of the two cross products.
    const __m256i sum = _mm256_add_epi32(cross, _mm256_slli_epi64(cross, 32));
    return {_mm256_add_epi32(low, _mm256_blend_epi32(_mm256_setzero_si256(), sum, 0xaa))};
}
// Bits 32..63 of a * b in the high half of each lane; the low half is
// left unspecified (here the sum of the cross products' low bits is
// spared).
DITHERING_VEC8_INLINE U64x4 multiply_high(U64x4 a, U64x4 b) {
    const __m256i low = _mm256_mul_epu32(a.v, b.v);
    const __m256i cross =
        _mm256_mullo_epi32(a.v, _mm256_shuffle_epi32(b.v, _MM_SHUFFLE(2, 3, 0, 1)));
    return {_mm256_add_epi32(_mm256_add_epi32(low, cross), _mm256_slli_epi64(cross, 32))};
}
// The high 32 bits of each lane, those of `even` and `odd` alternating:
// even0 odd0 even1 odd1 ...
DITHERING_VEC8_INLINE I32x8 high_words(U64x4 even, U64x4 odd) {
    return {_mm256_blend_epi32(_mm256_srli_epi64(even.v, 32), odd.v, 0xaa)};
}
DITHERING_VEC8_INLINE I32x8 operator^(I32x8 a, I32x8 b) { return {_mm256_xor_si256(a.v, b.v)}; }
DITHERING_VEC8_INLINE I32x8 operator&(I32x8 a, I32x8 b) { return {_mm256_and_si256(a.v, b.v)}; }
// 32 lanes as bytes in lane order: each 0..255 (narrow_to_bytes) or
// -128..127 (narrow_signed_to_bytes). The packs work within 128-bit
// halves, leaving 4-byte groups in the order a0 b0 c0 d0 | a1 b1 c1 d1;
// the permute restores a0 a1 b0 b1 ...
DITHERING_VEC8_INLINE U8x32 narrow_to_bytes(I32x8 a, I32x8 b, I32x8 c, I32x8 d) {
    const __m256i packed = _mm256_packus_epi16(_mm256_packs_epi32(a.v, b.v),
                                               _mm256_packs_epi32(c.v, d.v));
    return {_mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7))};
}
DITHERING_VEC8_INLINE U8x32 narrow_signed_to_bytes(I32x8 a, I32x8 b, I32x8 c, I32x8 d) {
    const __m256i packed = _mm256_packs_epi16(_mm256_packs_epi32(a.v, b.v),
                                              _mm256_packs_epi32(c.v, d.v));
    return {_mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7))};
}

// ---- Pixel bytes of the threshold palettes ----

// Channels 0..2 of eight pixels, one vector each.
struct PixelChannels8 {
    I32x8 c[3];
};
// Eight 3-byte pixels at p: exactly 24 bytes read, in two overlapping
// 16-byte loads. Channel k of pixel i is byte 3i + k: pixels 0..4 come
// from the first load, 5..7 from the second (8 bytes on); channels 0 and
// 1 end up in the low and high halves of `rg`, channel 2 in the low half
// of `b`.
DITHERING_VEC8_INLINE PixelChannels8 load_rgb8(const std::uint8_t* p) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
    const __m128i rg = _mm_or_si128(
        _mm_shuffle_epi8(lo,
                         _mm_setr_epi8(0, 3, 6, 9, 12, -1, -1, -1, 1, 4, 7, 10, 13, -1, -1, -1)),
        _mm_shuffle_epi8(
            hi, _mm_setr_epi8(-1, -1, -1, -1, -1, 7, 10, 13, -1, -1, -1, -1, -1, 8, 11, 14)));
    const __m128i b = _mm_or_si128(
        _mm_shuffle_epi8(
            lo, _mm_setr_epi8(2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1)),
        _mm_shuffle_epi8(
            hi, _mm_setr_epi8(-1, -1, -1, -1, -1, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1)));
    return {{{_mm256_cvtepu8_epi32(rg)},
             {_mm256_cvtepu8_epi32(_mm_srli_si128(rg, 8))},
             {_mm256_cvtepu8_epi32(b)}}};
}
// Eight 4-byte pixels at p (32 bytes read); the fourth bytes go nowhere.
DITHERING_VEC8_INLINE PixelChannels8 load_rgba8(const std::uint8_t* p) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    // Per 128-bit half: channel 0 of its four pixels in dword 0, 1 in 1, 2
    // in 2; then the halves' dwords interleaved, so each channel's eight
    // bytes are contiguous.
    const __m256i grouped = _mm256_shuffle_epi8(
        x, _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, -1, -1, -1, -1, 0, 4, 8, 12, 1,
                            5, 9, 13, 2, 6, 10, 14, -1, -1, -1, -1));
    const __m256i ordered =
        _mm256_permutevar8x32_epi32(grouped, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    const __m128i rg = _mm256_castsi256_si128(ordered);
    return {{{_mm256_cvtepu8_epi32(rg)},
             {_mm256_cvtepu8_epi32(_mm_srli_si128(rg, 8))},
             {_mm256_cvtepu8_epi32(_mm256_extracti128_si256(ordered, 1))}}};
}
// table[index] per lane for a table of sixteen words and indices 0..15,
// without a gather: a permute of each half of the table, the second taken
// where index bit 3 (moved to the sign bit) is set.
DITHERING_VEC8_INLINE I32x8 gather16(const std::int32_t* table, I32x8 index) {
    const __m256i low = _mm256_permutevar8x32_epi32(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table)), index.v);
    const __m256i high = _mm256_permutevar8x32_epi32(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table + 8)), index.v);
    return {
        _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(low), _mm256_castsi256_ps(high),
                                             _mm256_castsi256_ps(_mm256_slli_epi32(index.v, 28))))};
}
// Bytes 0..2 of each lane to eight 3-byte pixels at p: exactly 24 bytes
// written, twelve per half (8 + 4).
DITHERING_VEC8_INLINE void store_rgb8(std::uint8_t* p, I32x8 colors) {
    const __m256i packed = _mm256_shuffle_epi8(
        colors.v, _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2,
                                   4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
    const __m128i halves[2] = {_mm256_castsi256_si128(packed), _mm256_extracti128_si256(packed, 1)};
    for (std::size_t h = 0; h < 2; ++h) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p + 12 * h), halves[h]);
        const auto tail = static_cast<std::uint32_t>(_mm_extract_epi32(halves[h], 2));
        std::memcpy(p + 12 * h + 8, &tail, 4);
    }
}
// Bytes 0..2 of each lane (whose byte 3 is 0) over eight 4-byte pixels at
// p, their fourth bytes kept.
DITHERING_VEC8_INLINE void store_rgb_keep_fourth8(std::uint8_t* p, I32x8 colors) {
    const __m256i kept = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                                          _mm256_set1_epi32(static_cast<int>(0xff000000u)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm256_or_si256(kept, colors.v));
}
// Channels 0..2 of eight pixels of `size` (3 or 4) bytes at p from bytes
// 0..2 of words table[index[i]] (whose byte 3 is 0); a fourth byte stays.
// A table of at most sixteen words (`words`) is looked up by permutes,
// a larger one gathered.
DITHERING_VEC8_INLINE void store_table_pixels8(std::uint8_t* p, std::size_t size,
                                               const std::int32_t* table, std::size_t words,
                                               const std::uint32_t* index) {
    const I32x8 at = {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(index))};
    const I32x8 colors = words <= 16 ? gather16(table, at) : gather(table, at);
    if (size == 4) {
        store_rgb_keep_fourth8(p, colors);
    } else {
        store_rgb8(p, colors);
    }
}

// ---- The nearest-colour scan of the threshold palettes ----

// One step of a running minimum with its index, lane by lane: where
// d < best (ordered: never for a NaN d), best becomes d and index `here`.
// `here` must exceed every index taken before (the halves' form relies on
// it). Here one compare and two blends: the blend is one operation.
struct Closest8 {
    F32x8 best, index;
};
DITHERING_VEC8_INLINE Closest8 take_closer(Closest8 c, F32x8 d, F32x8 here) {
    const __m256 closer = _mm256_cmp_ps(c.best.v, d.v, _CMP_GT_OQ);
    // The index by a byte blend, the same bits for a mask of whole lanes:
    // GCC turns a second float blend on one mask into an extra compare.
    const __m256i index = _mm256_blendv_epi8(_mm256_castps_si256(c.index.v),
                                             _mm256_castps_si256(here.v),
                                             _mm256_castps_si256(closer));
    return {{_mm256_blendv_ps(c.best.v, d.v, closer)}, {_mm256_castsi256_ps(index)}};
}
DITHERING_VEC8_INLINE void store8(std::int32_t* p, I32x8 a) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), a.v);
}

// ---- The nearest-colour searches' reductions ----
// Distances ranked by their bit patterns: a distance is +0, positive or
// +inf, whose patterns order as unsigned integers like their values, or a
// NaN, whose patterns (either sign) all lie above +inf's. The unsigned
// minimum is thus the smallest distance that is not NaN (at least +inf's
// pattern when none is below +inf), and costs one cycle where a float
// minimum costs three.

// Four floats at `low` in lanes 0..3, four at `high` in lanes 4..7.
DITHERING_VEC8_INLINE F32x8 load_halves(const float* low, const float* high) {
    return {_mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(low)), _mm_loadu_ps(high),
                                 1)};
}
// The lanes' bits, unchanged.
DITHERING_VEC8_INLINE I32x8 as_bits(F32x8 a) { return {_mm256_castps_si256(a.v)}; }
// The smaller lane as unsigned 32-bit integers.
DITHERING_VEC8_INLINE I32x8 min_unsigned(I32x8 a, I32x8 b) { return {_mm256_min_epu32(a.v, b.v)}; }
// min_unsigned of all eight lanes, in every lane: the halves against each
// other, then neighbouring pairs, then neighbours.
DITHERING_VEC8_INLINE I32x8 min_unsigned_everywhere(I32x8 a) {
    __m256i m = _mm256_min_epu32(a.v, _mm256_permute2x128_si256(a.v, a.v, 1));
    m = _mm256_min_epu32(m, _mm256_shuffle_epi32(m, _MM_SHUFFLE(1, 0, 3, 2)));
    return {_mm256_min_epu32(m, _mm256_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1)))};
}
DITHERING_VEC8_INLINE Mask32x8 equal(I32x8 a, I32x8 b) {
    return {_mm256_castsi256_ps(_mm256_cmpeq_epi32(a.v, b.v))};
}
// Lane by lane: `yes` where the mask is set, `no` elsewhere (a byte
// blend, the same bits for a mask of whole lanes).
DITHERING_VEC8_INLINE I32x8 select(Mask32x8 m, I32x8 yes, I32x8 no) {
    return {_mm256_blendv_epi8(no.v, yes.v, _mm256_castps_si256(m.v))};
}
// Bit k set when lane k of the mask is; std::countr_zero of it is the
// first lane set.
DITHERING_VEC8_INLINE unsigned bits(Mask32x8 m) {
    return static_cast<unsigned>(_mm256_movemask_ps(m.v));
}
// Lane 0.
DITHERING_VEC8_INLINE std::int32_t first(I32x8 a) { return _mm256_cvtsi256_si32(a.v); }

// Ordered: false when either lane is NaN.
DITHERING_VEC8_INLINE Mask32x8 less(F32x8 a, F32x8 b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_LT_OQ)}; }
DITHERING_VEC8_INLINE Mask32x8 equal(F32x8 a, F32x8 b) {
    return {_mm256_cmp_ps(a.v, b.v, _CMP_EQ_OQ)};
}
DITHERING_VEC8_INLINE Mask32x8 operator|(Mask32x8 a, Mask32x8 b) { return {_mm256_or_ps(a.v, b.v)}; }
// Lanes 4..7 and 0..3 exchanged.
DITHERING_VEC8_INLINE F32x8 swap_halves(F32x8 a) { return {_mm256_permute2f128_ps(a.v, a.v, 1)}; }
// The least lane in every lane, by min's rule (a NaN gives the partner):
// each lane against its partner in the other half, then in the other
// pair of its half, then its neighbour.
DITHERING_VEC8_INLINE F32x8 min_everywhere(F32x8 a) {
    __m256 m = _mm256_min_ps(a.v, _mm256_permute2f128_ps(a.v, a.v, 1));
    m = _mm256_min_ps(m, _mm256_shuffle_ps(m, m, _MM_SHUFFLE(1, 0, 3, 2)));
    return {_mm256_min_ps(m, _mm256_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)))};
}
DITHERING_VEC8_INLINE float first(F32x8 a) { return _mm256_cvtss_f32(a.v); }

// ---- Between the 8-lane type and the 4-lane one ----
// The 4-lane type is SSE2's register, or the portable form's array in the
// build of that form for its tests (then through memory).

// Lanes 0..3.
DITHERING_VEC8_INLINE F32x4 low_half(F32x8 a) {
#if defined(DITHERING_VEC128_SSE2)
    return {_mm256_castps256_ps128(a.v)};
#else
    float lanes[8];
    store8(lanes, a);
    return load4(lanes);
#endif
}
// Eight points given as rows of channels, point i being (c0[i], c1[i],
// c2[i]), as eight (c0, c1, c2, 0) vectors. Per half (points 0..3 and
// 4..7): (c0, c1) and (c2, 0) pairs of points 0, 1 and of 2, 3, then one
// point per vector.
DITHERING_VEC8_INLINE void points_of_rows(F32x8 c0, F32x8 c1, F32x8 c2, F32x4 (&points)[8]) {
    const __m256 zero = _mm256_setzero_ps();
    const __m256 lo01 = _mm256_unpacklo_ps(c0.v, c1.v);
    const __m256 hi01 = _mm256_unpackhi_ps(c0.v, c1.v);
    const __m256 lo2 = _mm256_unpacklo_ps(c2.v, zero);
    const __m256 hi2 = _mm256_unpackhi_ps(c2.v, zero);
    const __m256 quads[4] = {
        _mm256_shuffle_ps(lo01, lo2, _MM_SHUFFLE(1, 0, 1, 0)),
        _mm256_shuffle_ps(lo01, lo2, _MM_SHUFFLE(3, 2, 3, 2)),
        _mm256_shuffle_ps(hi01, hi2, _MM_SHUFFLE(1, 0, 1, 0)),
        _mm256_shuffle_ps(hi01, hi2, _MM_SHUFFLE(3, 2, 3, 2)),
    };
#if defined(DITHERING_VEC128_SSE2)
    // Written out, not as a loop: GCC keeps such a loop, which costs more
    // than the moves.
    points[0] = {_mm256_castps256_ps128(quads[0])};
    points[1] = {_mm256_castps256_ps128(quads[1])};
    points[2] = {_mm256_castps256_ps128(quads[2])};
    points[3] = {_mm256_castps256_ps128(quads[3])};
    points[4] = {_mm256_extractf128_ps(quads[0], 1)};
    points[5] = {_mm256_extractf128_ps(quads[1], 1)};
    points[6] = {_mm256_extractf128_ps(quads[2], 1)};
    points[7] = {_mm256_extractf128_ps(quads[3], 1)};
#else
    for (int i = 0; i < 4; ++i) {
        float lanes[8];
        _mm256_storeu_ps(lanes, quads[i]);
        points[i] = load4(lanes);
        points[4 + i] = load4(lanes + 4);
    }
#endif
}

#if defined(DITHERING_VEC128_SSE2)
// Each lane of a shifted left by the same lane of counts (0..32), zeros
// shifted in; a count of 32 shifts every bit out. An AVX2 instruction on
// the 4-lane type, so defined here for SSE2's form of it (the other forms
// define it with their other operations).
DITHERING_VEC8_INLINE I32x4 shift_left_each(I32x4 a, I32x4 counts) {
    return {_mm_sllv_epi32(a.v, counts.v)};
}
#endif

#undef DITHERING_VEC8_INLINE

}  // namespace
}  // namespace dithering::simd

#endif  // DITHERING_ARCH_X86
