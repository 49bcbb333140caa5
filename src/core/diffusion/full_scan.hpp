// The rows-in-flight pass's scan of every colour of a small palette from
// registers, written once for any lane width: a template over the tag D of
// simd/lanes8.hpp (AVX2) or simd/vec16_avx512.hpp, which each source that
// includes this has first included, inside its target region.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "core/color/color_distance.hpp"
#include "core/color/nearest_grid.hpp"
#include "core/color/palette.hpp"
#include "core/simd/compiler.hpp"

namespace dithering::palette_rows {
namespace {

// The most colours a FullScan holds: 64 lanes (eight AVX2 registers, or
// four AVX-512 ones), as many as the first-of-equals bits' 64-bit word.
// Palettes up to FULL_SCAN_MAX_COLORS are scanned whole; larger ones use a
// NearestGrid.
constexpr std::size_t FULL_SCAN_CAPACITY = 64;
static_assert(FULL_SCAN_MAX_COLORS <= FULL_SCAN_CAPACITY);

// The bounded pass's values stay in 0..255, whose few cells are soon
// built, and there the grid wins on most palettes above 32 colours. Timed
// on the three sample photos at 2048x2048 with their own median-cut and
// octree palettes (core only, best of 5): the full scan takes about 70 ms
// at 32 colours, 85 at 48 and 103 at 64 whatever the palette; the grid
// 50-108 ms at 32 (slower than the scan on most palettes there), 52-133
// at 48 and 69-135 at 64; above 32 it is slower than the scan only on
// hubble_deep_field's median-cut palettes, whose dark colours crowd into
// long lists.
constexpr std::size_t BOUNDED_FULL_SCAN_MAX_COLORS = 32;

// The most colours an automatic choice scans whole with a FullScan.
constexpr std::size_t full_scan_limit(bool bounded) {
    return bounded ? BOUNDED_FULL_SCAN_MAX_COLORS : FULL_SCAN_MAX_COLORS;
}

// Every colour of a palette of up to D::N * BLOCKS, in registers, in
// palette order (padding lanes hold NaN). The distances are ranked by their
// bit patterns (min_unsigned), where NaN lies above +inf: the first lane
// holding the least one is the sequential answer, unless that distance is
// not below +inf, when the sequential scan never moved off colour 0. The
// 128-bit twin (palette_rows_vec128.cpp) ranks floats with min(d, inf)
// instead: SSE2 has no unsigned minimum, and its emulation would cost more
// than the float one there.
template <class D, std::size_t BLOCKS>
struct FullScan {
    static_assert(D::N * BLOCKS <= FULL_SCAN_CAPACITY);
    using F = typename D::F32;
    F w0[BLOCKS];
    F w1[BLOCKS];
    F w2[BLOCKS];

    void refresh() {}

    DITHERING_ALWAYS_INLINE std::size_t find(simd::F32x4 value) const {
        const F c0 = splat(D{}, first(value));
        const F c1 = splat(D{}, second(value));
        const F c2 = splat(D{}, third(value));
        typename D::I32 d[BLOCKS];
        for (std::size_t b = 0; b < BLOCKS; ++b) {
            const F t1 = c1 - w1[b];
            const F t0 = c0 - w0[b];
            const F t2 = c2 - w2[b];
            d[b] = as_bits(squared_distance(t0, t1, t2));
        }
        typename D::I32 m = d[0];
        for (std::size_t b = 1; b < BLOCKS; ++b) m = min_unsigned(m, d[b]);
        m = min_unsigned_everywhere(m);
        std::uint64_t at = 0;  // D::N lanes a block, 64 lanes at most
        for (std::size_t b = 0; b < BLOCKS; ++b) {
            at |= static_cast<std::uint64_t>(equal_bits(d[b], m)) << (D::N * b);
        }
        const auto least = static_cast<std::uint32_t>(first(m));
        const auto first_at = static_cast<std::size_t>(std::countr_zero(at));
        return least < INF_BITS ? first_at : 0;
    }
};

template <class D, std::size_t BLOCKS>
FullScan<D, BLOCKS> full_scan_of(const Palette& palette) {
    constexpr std::size_t N = D::N;
    float lanes_of[3][N * BLOCKS];
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (std::size_t k = 0; k < 3; ++k) {
        for (std::size_t j = 0; j < N * BLOCKS; ++j) {
            lanes_of[k][j] = j < palette.size() ? palette.working[3 * j + k] : nan;
        }
    }
    FullScan<D, BLOCKS> scan;
    for (std::size_t b = 0; b < BLOCKS; ++b) {
        scan.w0[b] = load(D{}, lanes_of[0] + N * b);
        scan.w1[b] = load(D{}, lanes_of[1] + N * b);
        scan.w2[b] = load(D{}, lanes_of[2] + N * b);
    }
    return scan;
}

}  // namespace
}  // namespace dithering::palette_rows
