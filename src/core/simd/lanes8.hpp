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
};

DITHERING_ALWAYS_INLINE F32x8 splat(Lanes8, float x) { return splat8(x); }
DITHERING_ALWAYS_INLINE F32x8 zero(Lanes8) { return zero8(); }
DITHERING_ALWAYS_INLINE F32x8 load(Lanes8, const float* p) { return load8(p); }
DITHERING_ALWAYS_INLINE void store(std::int32_t* p, I32x8 a) { store8(p, a); }
// Bit i set where lane i of a equals lane i of b (Lanes16's names it the same).
DITHERING_ALWAYS_INLINE unsigned equal_bits(I32x8 a, I32x8 b) { return bits(equal(a, b)); }

}  // namespace
}  // namespace dithering::simd
