// The palette pass with rows in flight over AVX2 registers, the
// nearest-colour search inlined: every colour of a palette of up to 64
// scanned from registers eight at a time, or a NearestGrid's lists above
// that (palette_rows_loop.hpp has the loops and explains the scheme).
//
// The loops and searches are compiled for AVX2 (the region simd/compiler.hpp opens, after
// every header with functions of its own; it says why), so that the
// vector operations inline into them.
#include "core/diffusion/palette_rows.hpp"

#if DITHERING_ARCH_X86
#include "core/simd/intrinsics.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>

#include "core/color/color_space.hpp"
#include "core/color/grid_search_avx2.hpp"
#include "core/color/nearest_grid.hpp"
#include "core/color/nearest_scan.hpp"
#include "core/color/palette.hpp"
#include "core/diffusion/error_rows.hpp"
#include "core/diffusion/value_bound.hpp"
#include "core/simd/compiler.hpp"
#include "core/simd/vec128.hpp"

DITHERING_TARGET_AVX2_BEGIN
#include "core/simd/vec8_avx2.hpp"
#include "core/color/color_distance.hpp"
#include "core/diffusion/palette_rows_loop.hpp"

namespace dithering::palette_rows {
namespace {

using avx2::grid_search_of;
using avx2::GridSearch;
using avx2::INF_BITS;
using avx2::nearest_out_of_line;
using simd::F32x8;
using simd::I32x8;

// The most colours a full scan holds: eight registers of eight lanes (and
// the stack, past 32 colours). Palettes up to FULL_SCAN_MAX_COLORS are
// scanned whole; larger ones use a NearestGrid.
constexpr std::size_t SCAN_CAPACITY = 64;
static_assert(FULL_SCAN_MAX_COLORS <= SCAN_CAPACITY);
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

// --------------------------------------------------------------- searches

// Every colour of a palette of up to 8 * BLOCKS, in registers, in palette
// order (padding lanes hold NaN). The distances are ranked by their bit
// patterns (min_unsigned, simd/vec8_avx2.hpp), where NaN lies above +inf:
// the first lane holding the least one is the sequential answer, unless
// that distance is not below +inf, when the sequential scan never moved
// off colour 0. The 128-bit twin (palette_rows_vec128.cpp) ranks floats
// with min(d, inf) instead: SSE2 has no unsigned minimum, and its
// emulation would cost more than the float one there.
template <std::size_t BLOCKS>
struct FullScan {
    static_assert(BLOCKS <= 8, "the lanes that hold the least distance fit 64 bits");
    F32x8 w0[BLOCKS];
    F32x8 w1[BLOCKS];
    F32x8 w2[BLOCKS];

    void refresh() {}

    DITHERING_ALWAYS_INLINE std::size_t find(F32x4 value) const {
        const F32x8 c0 = simd::splat8(first(value));
        const F32x8 c1 = simd::splat8(second(value));
        const F32x8 c2 = simd::splat8(third(value));
        I32x8 d[BLOCKS];
        for (std::size_t b = 0; b < BLOCKS; ++b) {
            const F32x8 t1 = c1 - w1[b];
            const F32x8 t0 = c0 - w0[b];
            const F32x8 t2 = c2 - w2[b];
            d[b] = as_bits(squared_distance(t0, t1, t2));
        }
        I32x8 m = d[0];
        for (std::size_t b = 1; b < BLOCKS; ++b) m = min_unsigned(m, d[b]);
        m = min_unsigned_everywhere(m);
        std::uint64_t at = 0;  // eight lanes a block, up to eight blocks
        for (std::size_t b = 0; b < BLOCKS; ++b) {
            at |= static_cast<std::uint64_t>(bits(equal(d[b], m))) << (8 * b);
        }
        const auto least = static_cast<std::uint32_t>(first(m));
        const auto first_at = static_cast<std::size_t>(std::countr_zero(at));
        return least < INF_BITS ? first_at : 0;
    }
};

template <std::size_t BLOCKS>
FullScan<BLOCKS> full_scan_of(const Palette& palette) {
    float lanes_of[3][8 * BLOCKS];
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (std::size_t k = 0; k < 3; ++k) {
        for (std::size_t j = 0; j < 8 * BLOCKS; ++j) {
            lanes_of[k][j] = j < palette.size() ? palette.working[3 * j + k] : nan;
        }
    }
    FullScan<BLOCKS> scan;
    for (std::size_t b = 0; b < BLOCKS; ++b) {
        scan.w0[b] = simd::load8(lanes_of[0] + 8 * b);
        scan.w1[b] = simd::load8(lanes_of[1] + 8 * b);
        scan.w2[b] = simd::load8(lanes_of[2] + 8 * b);
    }
    return scan;
}

// Any palette: Palette::nearest, called per pixel.
struct CallScan {
    const Palette* palette;
    void refresh() {}
    DITHERING_ALWAYS_INLINE std::size_t find(F32x4 v) const {
        return nearest_out_of_line(*palette, v);
    }
};

// A NearestGrid lookup (grid_search_avx2.hpp) on the pass's 4-lane value;
// INNER for the bounded pass, whose values never leave the innermost cube.
template <bool INNER>
struct GridFind {
    GridSearch grid;
    void refresh() { grid.refresh(); }
    DITHERING_ALWAYS_INLINE std::size_t find(F32x4 v) {
        if constexpr (INNER) return grid.find_inner(v);
        return grid.find(v);
    }
};

// The searches as run_chosen_search picks them (palette_rows_loop.hpp).
struct Avx2Searches {
    static constexpr std::size_t LANES = 8;
    static constexpr std::size_t SCAN_CAPACITY = palette_rows::SCAN_CAPACITY;
    static constexpr std::size_t automatic_scan_limit(bool bounded) {
        return bounded ? BOUNDED_FULL_SCAN_MAX_COLORS : FULL_SCAN_MAX_COLORS;
    }
    template <std::size_t BLOCKS>
    static FullScan<BLOCKS> full_scan(const Palette& palette) {
        return full_scan_of<BLOCKS>(palette);
    }
    template <bool INNER>
    static GridFind<INNER> grid_find(NearestGrid& grid) {
        return {grid_search_of(grid)};
    }
    using CallScan = palette_rows::CallScan;
};

}  // namespace
}  // namespace dithering::palette_rows

namespace dithering {

using namespace palette_rows;

PassStatus palette_pass_avx2(ImageView image, const ColorSpace& space, const Palette& palette,
                             const DirectionWeights& forward, const DirectionWeights& reverse,
                             const DiffusionOptions& options) noexcept {
    return with_pass(image, space, palette, forward, reverse, options, [&](const Pass& pass) {
        run_chosen_search<Avx2Searches>(pass, palette, options.search);
    });
}

std::size_t nearest_in_registers_avx2(const Palette& palette, float c0, float c1,
                                      float c2) noexcept {
    return nearest_in_registers<Avx2Searches>(palette, lanes(c0, c1, c2, 0.0f));
}

}  // namespace dithering

DITHERING_TARGET_AVX2_END

#endif  // DITHERING_ARCH_X86
