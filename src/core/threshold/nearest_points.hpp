// The nearest palette colour for several points at once, one point per
// vector lane, written once for any lane width: a template over the tag D
// of simd/lanes8.hpp (after one form of the 8-lane type) or
// simd/vec16_avx512.hpp, which each source that includes this has first
// included. Each gets its own copy, at internal linkage, for its forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "core/color/color_distance.hpp"
#include "core/simd/compiler.hpp"

namespace dithering {
namespace {

using namespace simd;

// V independent groups of D::N points, so that the compare-and-keep chain
// of one group overlaps the distance arithmetic of the others. The points
// are read from memory for every colour (the loads fold into the
// subtractions), which leaves the registers to the running minima. Each
// lane runs the sequential rule of Palette::nearest; the colour indices
// ride along as floats (exact up to 2^24), and each colour's index exceeds
// those before it, as take_closer needs.
template <class D, std::size_t V>
DITHERING_ALWAYS_INLINE void nearest_groups(const float* working, std::size_t colors,
                                            const float* c0, const float* c1, const float* c2,
                                            std::uint32_t* out) {
    constexpr std::size_t N = D::N;
    using F = typename D::F32;
    typename D::Closest run[V];
DITHERING_UNROLL(4)
    for (std::size_t k = 0; k < V; ++k) {
        run[k] = {splat(D{}, std::numeric_limits<float>::infinity()), zero(D{})};
    }
    // Colour j's index, counted up in the vector (exact, as j < 2^24).
    F here = zero(D{});
    const F one = splat(D{}, 1.0f);
    for (std::size_t j = 0; j < colors; ++j, here = here + one) {
        const F w0 = splat(D{}, working[3 * j]);
        const F w1 = splat(D{}, working[3 * j + 1]);
        const F w2 = splat(D{}, working[3 * j + 2]);
DITHERING_UNROLL(4)
        for (std::size_t k = 0; k < V; ++k) {
            const F t1 = load(D{}, c1 + N * k) - w1;
            const F t0 = load(D{}, c0 + N * k) - w0;
            const F t2 = load(D{}, c2 + N * k) - w2;
            const F d = squared_distance(t0, t1, t2);
            run[k] = take_closer(run[k], d, here);
        }
    }
DITHERING_UNROLL(4)
    for (std::size_t k = 0; k < V; ++k) {
        std::int32_t lanes[N];
        store(lanes, truncate(run[k].index));
        for (std::size_t i = 0; i < N; ++i) out[N * k + i] = static_cast<std::uint32_t>(lanes[i]);
    }
}

// `count` (a multiple of D::N) points.
template <class D>
void nearest_points(const float* working, std::size_t colors, const float* c0, const float* c1,
                    const float* c2, std::size_t count, std::uint32_t* out) {
    constexpr std::size_t N = D::N;
    std::size_t i = 0;
    for (; i + 4 * N <= count; i += 4 * N) {
        nearest_groups<D, 4>(working, colors, c0 + i, c1 + i, c2 + i, out + i);
    }
    for (; i + N <= count; i += N) {
        nearest_groups<D, 1>(working, colors, c0 + i, c1 + i, c2 + i, out + i);
    }
}

// nearest_points<D> as the scan_points argument of palette_points.
template <class D>
struct ScanPointsIn {
    void operator()(const float* working, std::size_t colors, const float* c0, const float* c1,
                    const float* c2, std::size_t count, std::uint32_t* out) const {
        nearest_points<D>(working, colors, c0, c1, c2, count, out);
    }
};

}  // namespace
}  // namespace dithering
