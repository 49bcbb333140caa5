// Eight 32-bit lanes as two 128-bit halves of vec128.hpp (SSE2 on x86,
// NEON on aarch64, the portable form anywhere): the 8-lane vector type of
// vec8_avx2.hpp for every processor, with the same operations and the same
// IEEE operation per lane. Gathers, which no 128-bit instruction set here
// has, go lane by lane through memory.
//
// At internal linkage like vec8_avx2.hpp, so that the two never meet under
// one name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/simd/vec128.hpp"

namespace dithering::simd {
namespace {

#define DITHERING_VEC8_INLINE DITHERING_ALWAYS_INLINE

struct F32x8 {
    F32x4 low, high;
};
struct I32x8 {
    I32x4 low, high;
};
struct Mask32x8 {
    Mask32x4 low, high;
};
// 32 bytes, two halves of 16: the byte shuffles work within each half.
struct U8x32 {
    U8x16 low, high;
};

DITHERING_VEC8_INLINE F32x8 splat8(float x) { return {splat(x), splat(x)}; }
DITHERING_VEC8_INLINE I32x8 splat8_int(std::int32_t x) { return {splat_int(x), splat_int(x)}; }
DITHERING_VEC8_INLINE F32x8 zero8() { return {zero4(), zero4()}; }
DITHERING_VEC8_INLINE F32x8 load8(const float* p) { return {load4(p), load4(p + 4)}; }
DITHERING_VEC8_INLINE I32x8 load8(const std::int32_t* p) { return {load4(p), load4(p + 4)}; }
DITHERING_VEC8_INLINE void store8(float* p, F32x8 a) {
    store4(p, a.low);
    store4(p + 4, a.high);
}
template <int L>
DITHERING_VEC8_INLINE void store_lane(float* p, F32x8 a) {
    static_assert(L >= 0 && L < 8);
    const F32x4 half = L < 4 ? a.low : a.high;
    if constexpr (L % 4 == 0) {
        *p = first(half);
    } else if constexpr (L % 4 == 1) {
        *p = second(half);
    } else if constexpr (L % 4 == 2) {
        *p = third(half);
    } else {
        *p = fourth(half);
    }
}

DITHERING_VEC8_INLINE F32x8 operator+(F32x8 a, F32x8 b) { return {a.low + b.low, a.high + b.high}; }
DITHERING_VEC8_INLINE F32x8 operator-(F32x8 a, F32x8 b) { return {a.low - b.low, a.high - b.high}; }
DITHERING_VEC8_INLINE F32x8 operator*(F32x8 a, F32x8 b) { return {a.low * b.low, a.high * b.high}; }
DITHERING_VEC8_INLINE F32x8 min(F32x8 a, F32x8 b) {
    return {min(a.low, b.low), min(a.high, b.high)};
}
DITHERING_VEC8_INLINE F32x8 max(F32x8 a, F32x8 b) {
    return {max(a.low, b.low), max(a.high, b.high)};
}
// a >= b is b <= a, ordered alike.
DITHERING_VEC8_INLINE Mask32x8 greater_equal(F32x8 a, F32x8 b) {
    return {less_equal(b.low, a.low), less_equal(b.high, a.high)};
}
DITHERING_VEC8_INLINE F32x8 select(Mask32x8 m, F32x8 yes, F32x8 no) {
    return {select(m.low, yes.low, no.low), select(m.high, yes.high, no.high)};
}
DITHERING_VEC8_INLINE F32x8 keep(Mask32x8 m, F32x8 a) {
    return {keep(m.low, a.low), keep(m.high, a.high)};
}
DITHERING_VEC8_INLINE Mask32x8 operator&(Mask32x8 a, Mask32x8 b) {
    return {a.low & b.low, a.high & b.high};
}

DITHERING_VEC8_INLINE I32x8 operator+(I32x8 a, I32x8 b) { return {a.low + b.low, a.high + b.high}; }
DITHERING_VEC8_INLINE I32x8 operator-(I32x8 a, I32x8 b) { return {a.low - b.low, a.high - b.high}; }
DITHERING_VEC8_INLINE Mask32x8 greater(I32x8 a, I32x8 b) {
    return {greater(a.low, b.low), greater(a.high, b.high)};
}
DITHERING_VEC8_INLINE I32x8 as_int(Mask32x8 m) { return {as_int(m.low), as_int(m.high)}; }
DITHERING_VEC8_INLINE F32x8 to_float(I32x8 a) { return {to_float(a.low), to_float(a.high)}; }
DITHERING_VEC8_INLINE I32x8 truncate(F32x8 a) { return {truncate(a.low), truncate(a.high)}; }
DITHERING_VEC8_INLINE I32x8 widen_bytes(const std::uint8_t* p) {
    I32x8 r;
    widen_bytes(p, r.low, r.high);
    return r;
}
DITHERING_VEC8_INLINE F32x8 gather(const float* table, I32x8 index) {
    std::int32_t i[8];
    store4(i, index.low);
    store4(i + 4, index.high);
    return {lanes(table[i[0]], table[i[1]], table[i[2]], table[i[3]]),
            lanes(table[i[4]], table[i[5]], table[i[6]], table[i[7]])};
}
DITHERING_VEC8_INLINE I32x8 gather(const std::int32_t* table, I32x8 index) {
    std::int32_t i[8];
    store4(i, index.low);
    store4(i + 4, index.high);
    std::int32_t r[8];
    for (int k = 0; k < 8; ++k) r[k] = table[i[k]];
    return load8(r);
}
DITHERING_VEC8_INLINE I32x8 lookup(I32x8 table, I32x8 index) {
    return {lookup8(table.low, table.high, index.low), lookup8(table.low, table.high, index.high)};
}
DITHERING_VEC8_INLINE void store_bytes(std::uint8_t* first, std::uint8_t* second, I32x8 a,
                                       I32x8 b) {
    const U8x16 bytes = narrow_to_bytes(a.low, a.high, b.low, b.high);
    store_low8(first, bytes);
    store_high8(second, bytes);
}

DITHERING_VEC8_INLINE U8x32 load32(const std::uint8_t* p) { return {load16(p), load16(p + 16)}; }
DITHERING_VEC8_INLINE void store32(std::uint8_t* p, U8x32 a) {
    store16(p, a.low);
    store16(p + 16, a.high);
}
DITHERING_VEC8_INLINE U8x32 load_halves(const std::uint8_t* low, const std::uint8_t* high) {
    return {load16(low), load16(high)};
}
DITHERING_VEC8_INLINE void store_halves(std::uint8_t* low, std::uint8_t* high, U8x32 a) {
    store16(low, a.low);
    store16(high, a.high);
}
DITHERING_VEC8_INLINE U8x32 zip_low(U8x32 a, U8x32 b) {
    return {zip_low(a.low, b.low), zip_low(a.high, b.high)};
}
DITHERING_VEC8_INLINE U8x32 zip_high(U8x32 a, U8x32 b) {
    return {zip_high(a.low, b.low), zip_high(a.high, b.high)};
}
DITHERING_VEC8_INLINE U8x32 zip_low16(U8x32 a, U8x32 b) {
    return {zip_low16(a.low, b.low), zip_low16(a.high, b.high)};
}
DITHERING_VEC8_INLINE U8x32 zip_high16(U8x32 a, U8x32 b) {
    return {zip_high16(a.low, b.low), zip_high16(a.high, b.high)};
}
DITHERING_VEC8_INLINE U8x32 zip_low32(U8x32 a, U8x32 b) {
    return {zip_low32(a.low, b.low), zip_low32(a.high, b.high)};
}
DITHERING_VEC8_INLINE U8x32 zip_high32(U8x32 a, U8x32 b) {
    return {zip_high32(a.low, b.low), zip_high32(a.high, b.high)};
}
DITHERING_VEC8_INLINE U8x32 zip_low64(U8x32 a, U8x32 b) {
    return {zip_low64(a.low, b.low), zip_low64(a.high, b.high)};
}
DITHERING_VEC8_INLINE U8x32 zip_high64(U8x32 a, U8x32 b) {
    return {zip_high64(a.low, b.low), zip_high64(a.high, b.high)};
}
// Masks of 0xff or 0 bytes.
DITHERING_VEC8_INLINE U8x32 select_bytes(U8x32 mask, U8x32 yes, U8x32 no) {
    return {select_bytes(mask.low, yes.low, no.low), select_bytes(mask.high, yes.high, no.high)};
}

// ---- Byte operations of the threshold compare rows ----

DITHERING_VEC8_INLINE U8x32 splat32(std::uint8_t x) { return {splat16(x), splat16(x)}; }
DITHERING_VEC8_INLINE U8x32 load16_twice(const std::uint8_t* p) { return {load16(p), load16(p)}; }
// No streaming stores in the 128-bit forms: ordinary ones.
DITHERING_VEC8_INLINE void stream32(std::uint8_t* p, U8x32 a) { store32(p, a); }
DITHERING_VEC8_INLINE U8x32 operator+(U8x32 a, U8x32 b) { return {a.low + b.low, a.high + b.high}; }
DITHERING_VEC8_INLINE U8x32 operator-(U8x32 a, U8x32 b) { return {a.low - b.low, a.high - b.high}; }
DITHERING_VEC8_INLINE U8x32 operator&(U8x32 a, U8x32 b) { return {a.low & b.low, a.high & b.high}; }
DITHERING_VEC8_INLINE U8x32 operator|(U8x32 a, U8x32 b) { return {a.low | b.low, a.high | b.high}; }
DITHERING_VEC8_INLINE U8x32 operator^(U8x32 a, U8x32 b) { return {a.low ^ b.low, a.high ^ b.high}; }
DITHERING_VEC8_INLINE U8x32 and_not(U8x32 a, U8x32 b) {
    return {and_not(a.low, b.low), and_not(a.high, b.high)};
}
DITHERING_VEC8_INLINE U8x32 min(U8x32 a, U8x32 b) {
    return {min(a.low, b.low), min(a.high, b.high)};
}
DITHERING_VEC8_INLINE U8x32 equal(U8x32 a, U8x32 b) {
    return {equal(a.low, b.low), equal(a.high, b.high)};
}
DITHERING_VEC8_INLINE U8x32 greater_signed(U8x32 a, U8x32 b) {
    return {greater_signed(a.low, b.low), greater_signed(a.high, b.high)};
}
DITHERING_VEC8_INLINE U8x32 lookup16(U8x32 table, U8x32 index) {
    return {lookup16(table.low, index.low), lookup16(table.high, index.high)};
}

// ---- 64-bit lanes of the random draws ----

struct U64x4 {
    U64x2 low, high;
};
DITHERING_VEC8_INLINE U64x4 splat_u64x4(std::uint64_t x) { return {splat_u64(x), splat_u64(x)}; }
DITHERING_VEC8_INLINE U64x4 lanes_u64x4(std::uint64_t a, std::uint64_t b, std::uint64_t c,
                                        std::uint64_t d) {
    return {lanes_u64(a, b), lanes_u64(c, d)};
}
DITHERING_VEC8_INLINE U64x4 operator+(U64x4 a, U64x4 b) { return {a.low + b.low, a.high + b.high}; }
DITHERING_VEC8_INLINE U64x4 operator^(U64x4 a, U64x4 b) { return {a.low ^ b.low, a.high ^ b.high}; }
template <int N>
DITHERING_VEC8_INLINE U64x4 shift_right(U64x4 a) {
    return {shift_right<N>(a.low), shift_right<N>(a.high)};
}
DITHERING_VEC8_INLINE U64x4 multiply(U64x4 a, U64x4 b) {
    return {multiply(a.low, b.low), multiply(a.high, b.high)};
}
// The whole product: its low half too, which is allowed.
DITHERING_VEC8_INLINE U64x4 multiply_high(U64x4 a, U64x4 b) { return multiply(a, b); }
DITHERING_VEC8_INLINE I32x8 high_words(U64x4 even, U64x4 odd) {
    return {high_words(even.low, odd.low), high_words(even.high, odd.high)};
}
DITHERING_VEC8_INLINE I32x8 operator^(I32x8 a, I32x8 b) { return {a.low ^ b.low, a.high ^ b.high}; }
DITHERING_VEC8_INLINE I32x8 operator&(I32x8 a, I32x8 b) { return {a.low & b.low, a.high & b.high}; }
DITHERING_VEC8_INLINE U8x32 narrow_to_bytes(I32x8 a, I32x8 b, I32x8 c, I32x8 d) {
    return {narrow_to_bytes(a.low, a.high, b.low, b.high),
            narrow_to_bytes(c.low, c.high, d.low, d.high)};
}
DITHERING_VEC8_INLINE U8x32 narrow_signed_to_bytes(I32x8 a, I32x8 b, I32x8 c, I32x8 d) {
    return {narrow_signed_to_bytes(a.low, a.high, b.low, b.high),
            narrow_signed_to_bytes(c.low, c.high, d.low, d.high)};
}

// ---- Pixel bytes of the threshold palettes ----
// Byte by byte through memory: SSE2 has no byte shuffle, and the 128-bit
// forms' time goes to the search.

struct PixelChannels8 {
    I32x8 c[3];
};
// Channels 0..2 of eight pixels of `size` bytes at p.
DITHERING_VEC8_INLINE PixelChannels8 load_pixels8(const std::uint8_t* p, std::size_t size) {
    std::int32_t c[3][8];
DITHERING_UNROLL(8)
    for (std::size_t i = 0; i < 8; ++i) {
        for (std::size_t k = 0; k < 3; ++k) c[k][i] = p[size * i + k];
    }
    return {{load8(c[0]), load8(c[1]), load8(c[2])}};
}
DITHERING_VEC8_INLINE PixelChannels8 load_rgb8(const std::uint8_t* p) { return load_pixels8(p, 3); }
DITHERING_VEC8_INLINE PixelChannels8 load_rgba8(const std::uint8_t* p) {
    return load_pixels8(p, 4);
}
// Channels 0..2 of eight pixels of `size` bytes at p from the first three
// bytes in memory of words table[index[i]] (any other byte stays), word by
// word: without a gather, vectors would only carry the words through
// memory.
DITHERING_VEC8_INLINE void store_table_pixels8(std::uint8_t* p, std::size_t size,
                                               const std::int32_t* table, std::size_t,
                                               const std::uint32_t* index) {
DITHERING_UNROLL(8)
    for (std::size_t i = 0; i < 8; ++i) std::memcpy(p + size * i, &table[index[i]], 3);
}

// ---- The nearest-colour scan of the threshold palettes ----

// As the index only grows, it becomes the larger of itself and (here
// where taken, 0 elsewhere), and the best distance the smaller of d and
// itself (min keeps its second operand for a NaN d): two operations each,
// where a select costs three on SSE2.
struct Closest8 {
    F32x8 best, index;
};
DITHERING_VEC8_INLINE Closest8 take_closer(Closest8 c, F32x8 d, F32x8 here) {
    const Mask32x8 closer = {less(d.low, c.best.low), less(d.high, c.best.high)};
    return {min(d, c.best), max(c.index, keep(closer, here))};
}
DITHERING_VEC8_INLINE void store8(std::int32_t* p, I32x8 a) {
    store4(p, a.low);
    store4(p + 4, a.high);
}

// ---- The nearest-colour searches' reductions ----
// Distances ranked by their bit patterns (vec8_avx2.hpp says why).

DITHERING_VEC8_INLINE F32x8 load_halves(const float* low, const float* high) {
    return {load4(low), load4(high)};
}
DITHERING_VEC8_INLINE I32x8 as_bits(F32x8 a) { return {as_bits(a.low), as_bits(a.high)}; }
DITHERING_VEC8_INLINE I32x8 min_unsigned(I32x8 a, I32x8 b) {
    return {min_unsigned(a.low, b.low), min_unsigned(a.high, b.high)};
}
// The halves against each other, then the last four lanes one by one.
DITHERING_VEC8_INLINE I32x8 min_unsigned_everywhere(I32x8 a) {
    std::int32_t lane[4];
    store4(lane, min_unsigned(a.low, a.high));
    std::uint32_t m = static_cast<std::uint32_t>(lane[0]);
    for (int i = 1; i < 4; ++i) {
        const auto x = static_cast<std::uint32_t>(lane[i]);
        if (x < m) m = x;
    }
    std::int32_t least;
    std::memcpy(&least, &m, sizeof least);
    return splat8_int(least);
}
DITHERING_VEC8_INLINE Mask32x8 equal(I32x8 a, I32x8 b) {
    return {equal(a.low, b.low), equal(a.high, b.high)};
}
DITHERING_VEC8_INLINE I32x8 select(Mask32x8 m, I32x8 yes, I32x8 no) {
    return {select(m.low, yes.low, no.low), select(m.high, yes.high, no.high)};
}
DITHERING_VEC8_INLINE unsigned bits(Mask32x8 m) { return bits(m.low) | bits(m.high) << 4; }
DITHERING_VEC8_INLINE std::int32_t first(I32x8 a) {
    std::int32_t lane[4];
    store4(lane, a.low);
    return lane[0];
}
DITHERING_VEC8_INLINE Mask32x8 less(F32x8 a, F32x8 b) {
    return {less(a.low, b.low), less(a.high, b.high)};
}
DITHERING_VEC8_INLINE Mask32x8 equal(F32x8 a, F32x8 b) {
    return {equal(a.low, b.low), equal(a.high, b.high)};
}
DITHERING_VEC8_INLINE Mask32x8 operator|(Mask32x8 a, Mask32x8 b) {
    return {a.low | b.low, a.high | b.high};
}
DITHERING_VEC8_INLINE F32x8 swap_halves(F32x8 a) { return {a.high, a.low}; }
// Each step as AVX2 takes it, lane against partner in that order, so that
// a NaN lane gives the same result.
DITHERING_VEC8_INLINE F32x8 min_everywhere(F32x8 a) {
    F32x4 low = min(a.low, a.high);
    F32x4 high = min(a.high, a.low);
    low = min(low, swap_halves(low));
    high = min(high, swap_halves(high));
    return {min(low, swap_neighbours(low)), min(high, swap_neighbours(high))};
}
DITHERING_VEC8_INLINE float first(F32x8 a) { return first(a.low); }

// ---- Between the 8-lane type and the 4-lane one ----

// Lanes 0..3.
DITHERING_VEC8_INLINE F32x4 low_half(F32x8 a) { return a.low; }
// Eight points given as rows of channels, point i being (c0[i], c1[i],
// c2[i]), as eight (c0, c1, c2, 0) vectors: through memory, lane by lane.
DITHERING_VEC8_INLINE void points_of_rows(F32x8 c0, F32x8 c1, F32x8 c2, F32x4 (&points)[8]) {
    float rows[3][8];
    store8(rows[0], c0);
    store8(rows[1], c1);
    store8(rows[2], c2);
    for (int i = 0; i < 8; ++i) points[i] = lanes(rows[0][i], rows[1][i], rows[2][i], 0.0f);
}

#undef DITHERING_VEC8_INLINE

}  // namespace
}  // namespace dithering::simd
