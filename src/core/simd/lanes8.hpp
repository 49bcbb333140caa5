// The 8-lane type as a lane-width tag, for loop bodies written once for
// any width: a body is a template over a tag D and writes typename
// D::F32, splat(D{}, x), load(D{}, p), so that the same source builds
// with Lanes8 here and with Lanes16 (vec16_avx512.hpp).
//
// Included after one form of the 8-lane type (vec8_avx2.hpp or
// vec8_halves.hpp), whose types and operations it names, and at internal
// linkage like them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/simd/compiler.hpp"

namespace dithering::simd {
namespace {

struct Lanes8 {
    static constexpr std::size_t N = 8;
    using F32 = F32x8;
    using I32 = I32x8;
    using Closest = Closest8;
    using U64 = U64x4;  // half as many lanes, of 64 bits
    using U8 = U8x32;   // four times as many, of bytes
};

DITHERING_ALWAYS_INLINE F32x8 splat(Lanes8, float x) { return splat8(x); }
DITHERING_ALWAYS_INLINE F32x8 zero(Lanes8) { return zero8(); }
DITHERING_ALWAYS_INLINE F32x8 load(Lanes8, const float* p) { return load8(p); }
DITHERING_ALWAYS_INLINE void store(std::int32_t* p, I32x8 a) { store8(p, a); }
DITHERING_ALWAYS_INLINE void store(float* p, F32x8 a) { store8(p, a); }
DITHERING_ALWAYS_INLINE I32x8 splat_int(Lanes8, std::int32_t x) { return splat8_int(x); }
DITHERING_ALWAYS_INLINE I32x8 widen_bytes(Lanes8, const std::uint8_t* p) { return widen_bytes(p); }
DITHERING_ALWAYS_INLINE U64x4 splat_u64(Lanes8, std::uint64_t x) { return splat_u64x4(x); }
DITHERING_ALWAYS_INLINE U64x4 load_u64(Lanes8, const std::uint64_t* p) {
    return lanes_u64x4(p[0], p[1], p[2], p[3]);
}
DITHERING_ALWAYS_INLINE U8x32 splat_bytes(Lanes8, std::uint8_t x) { return splat32(x); }
// The sixteen bytes at p in each 128-bit block, as lookup16's table.
DITHERING_ALWAYS_INLINE U8x32 load16_each_block(Lanes8, const std::uint8_t* p) {
    return load16_twice(p);
}
DITHERING_ALWAYS_INLINE I32x8 load_int(Lanes8, const std::int32_t* p) { return load8(p); }
// Eight table entries, for lookup.
DITHERING_ALWAYS_INLINE I32x8 load_table8(Lanes8, const std::int32_t* p) { return load8(p); }
// A band of sixteen rows' bytes, kept in two groups of eight (groups[0] +
// at, groups[1] + at), as the lanes of two vectors; and the lanes, each
// 0..255, back into them.
DITHERING_ALWAYS_INLINE void load_band_bytes(Lanes8, std::uint8_t* const* groups, std::size_t at,
                                             I32x8 (&lanes)[2]) {
    lanes[0] = widen_bytes(groups[0] + at);
    lanes[1] = widen_bytes(groups[1] + at);
}
DITHERING_ALWAYS_INLINE void store_band_bytes(Lanes8, std::uint8_t* const* groups, std::size_t at,
                                              const I32x8 (&lanes)[2]) {
    store_bytes(groups[0] + at, groups[1] + at, lanes[0], lanes[1]);
}
DITHERING_ALWAYS_INLINE void store_bytes(std::uint8_t* p, U8x32 a) { store32(p, a); }
// A streaming store where the form has one (then p is 32-byte aligned).
DITHERING_ALWAYS_INLINE void stream_bytes(std::uint8_t* p, U8x32 a) { stream32(p, a); }
// Bit i set where lane i of a equals lane i of b (Lanes16's names it the same).
DITHERING_ALWAYS_INLINE unsigned equal_bits(I32x8 a, I32x8 b) { return bits(equal(a, b)); }

}  // namespace
}  // namespace dithering::simd
