// The distance every nearest-colour search ranks the colours by, written
// once for single floats and the vector types of simd/.
//
// A file that instantiates it for the AVX2 vector type includes this inside
// its AVX2 region, as it does that type (simd/vec8_avx2.hpp), so that the
// operations inline into it.
#pragma once

#include <cstdint>

#include "core/simd/compiler.hpp"

namespace dithering {

// With t_k = c_k - w_k, the differences of a value c and a colour w per
// channel: (t1 * t1 + t0 * t0) + t2 * t2, each operation rounded on its
// own and in exactly this order, lane by lane for a vector. Which colour
// is nearest, and so every output byte of a palette, depends on that
// order: every search uses this one.
template <typename T>
DITHERING_ALWAYS_INLINE T squared_distance(T t0, T t1, T t2) {
    return (t1 * t1 + t0 * t0) + t2 * t2;
}

// The bit pattern of +inf: a distance's pattern is below it exactly when
// the distance is finite (the searches that rank distances by their bit
// patterns, as unsigned integers, test against it).
inline constexpr std::uint32_t INF_BITS = 0x7f800000u;

}  // namespace dithering
