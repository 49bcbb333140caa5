// The bound of the bounded palette pass: each component of a pixel's value
// (working value plus carried error) clamped to the working range 0..255
// before the nearest-colour search, so that the error passed on is the
// clamped value minus the chosen colour and can never run away.
//
// Written once for a scalar and once for the 128-bit vector type, as the
// same two IEEE comparisons per component in the same order, so that every
// form of the pass clamps to the same floats:
//   v = v > 0 ? v : 0;   then   v = v < 255 ? v : 255.
// simd::max(a, b) is a > b ? a : b and simd::min(a, b) is a < b ? a : b lane
// by lane (vec128.hpp), which is exactly that with b the bound. A comparison
// with NaN is false, so NaN becomes 0, and -0.0 becomes +0.0 (-0 > 0 is
// false): whatever comes in, the result lies in 0..255, which the grid
// search of the bounded pass relies on (it looks only in the grid's
// innermost cube). Neither arises from bytes: working values are a byte's
// table entry, 0..255, and the carried error is a weighted sum of earlier
// errors, each within -255..255 once values are clamped, with weights
// adding up to at most 1; so v is finite, and never -0.0, as lut[b] >= 0 is
// added to a cell and x + (-x) is +0.
//
// A source file compiled for AVX2 includes this before its AVX2 region, like
// simd/vec128.hpp, so that the vector form keeps the baseline target.
#pragma once

#include "core/simd/compiler.hpp"
#include "core/simd/vec128.hpp"

namespace dithering {

inline constexpr float WORKING_LOW = 0.0f;
inline constexpr float WORKING_HIGH = 255.0f;

inline float bound_to_working_range(float v) noexcept {
    v = v > WORKING_LOW ? v : WORKING_LOW;
    return v < WORKING_HIGH ? v : WORKING_HIGH;
}

// All four lanes; an idle lane holding 0 stays 0.
DITHERING_ALWAYS_INLINE simd::F32x4 bound_to_working_range(simd::F32x4 v) noexcept {
    v = simd::max(v, simd::splat(WORKING_LOW));
    return simd::min(v, simd::splat(WORKING_HIGH));
}

}  // namespace dithering
