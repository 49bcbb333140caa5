// The nearest palette colour for several points at once, one point per
// vector lane, written once over the 8-lane vector type: each source file
// that includes this has first included one form of that type
// (simd/vec8_avx2.hpp or simd/vec8_halves.hpp) and gets its own copy, at
// internal linkage, for that form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "core/color/color_distance.hpp"
#include "core/simd/compiler.hpp"

namespace dithering {
namespace {

using namespace simd;

// V independent groups of eight points, so that the compare-and-keep chain
// of one group overlaps the distance arithmetic of the others. The points
// are read from memory for every colour (the loads fold into the
// subtractions), which leaves the registers to the running minima. Each
// lane runs the sequential rule of Palette::nearest; the colour indices
// ride along as floats (exact up to 2^24), and each colour's index exceeds
// those before it, as take_closer needs.
template <std::size_t V>
DITHERING_ALWAYS_INLINE void nearest_groups(const float* working,
                                                          std::size_t colors, const float* c0,
                                                          const float* c1, const float* c2,
                                                          std::uint32_t* out) {
    Closest8 run[V];
DITHERING_UNROLL(4)
    for (std::size_t k = 0; k < V; ++k) run[k] = {splat8(std::numeric_limits<float>::infinity()), zero8()};
    // Colour j's index, counted up in the vector (exact, as j < 2^24).
    F32x8 here = zero8();
    const F32x8 one = splat8(1.0f);
    for (std::size_t j = 0; j < colors; ++j, here = here + one) {
        const F32x8 w0 = splat8(working[3 * j]);
        const F32x8 w1 = splat8(working[3 * j + 1]);
        const F32x8 w2 = splat8(working[3 * j + 2]);
DITHERING_UNROLL(4)
        for (std::size_t k = 0; k < V; ++k) {
            const F32x8 t1 = load8(c1 + 8 * k) - w1;
            const F32x8 t0 = load8(c0 + 8 * k) - w0;
            const F32x8 t2 = load8(c2 + 8 * k) - w2;
            const F32x8 d = squared_distance(t0, t1, t2);
            run[k] = take_closer(run[k], d, here);
        }
    }
DITHERING_UNROLL(4)
    for (std::size_t k = 0; k < V; ++k) {
        std::int32_t lanes[8];
        store8(lanes, truncate(run[k].index));
        for (std::size_t i = 0; i < 8; ++i) out[8 * k + i] = static_cast<std::uint32_t>(lanes[i]);
    }
}

// `count` (a multiple of 8) points.
void nearest_points(const float* working, std::size_t colors, const float* c0, const float* c1,
                    const float* c2, std::size_t count, std::uint32_t* out) {
    std::size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        nearest_groups<4>(working, colors, c0 + i, c1 + i, c2 + i, out + i);
    }
    for (; i + 8 <= count; i += 8) {
        nearest_groups<1>(working, colors, c0 + i, c1 + i, c2 + i, out + i);
    }
}

}  // namespace
}  // namespace dithering
