// The palette pass with rows in flight over the 128-bit vectors of
// vec128.hpp (SSE2 on x86, NEON on aarch64, the portable form anywhere
// else): palettes of up to 64 colours scanned whole from registers, four
// colours a vector (palette_rows_loop.hpp has the loops and explains the
// scheme).
#include "core/diffusion/palette_rows.hpp"

#include <cstddef>
#include <bit>
#include <cstdint>
#include <limits>
#include <optional>

#include "core/color/color_distance.hpp"
#include "core/color/nearest_grid.hpp"
#include "core/simd/compiler.hpp"
#include "core/simd/vec128.hpp"
#include "core/simd/vec8_halves.hpp"
#include "core/diffusion/value_bound.hpp"
#include "core/diffusion/palette_rows_loop.hpp"

namespace dithering::palette_rows {
namespace {

constexpr float INF = std::numeric_limits<float>::infinity();

// The most colours a full scan holds: sixteen registers of four lanes
// (beyond them the scan would spill). Palettes up to FULL_SCAN_MAX_COLORS
// are scanned whole; larger ones take a NearestGrid.
constexpr std::size_t SCAN_CAPACITY = 64;
static_assert(FULL_SCAN_MAX_COLORS <= SCAN_CAPACITY);

// Every colour of a palette of up to 4 * BLOCKS, in palette order (padding
// lanes hold NaN). min(d, inf) turns a NaN distance into +inf (min gives
// its second operand when either is NaN), which never wins; then the first
// lane equal to the least distance is the sequential answer. When nothing
// is below +inf, every lane is +inf and the first, colour 0, matches: the
// colour the sequential scan never moved off.
template <std::size_t BLOCKS>
struct FullScan {
    static_assert(BLOCKS <= 16, "the lanes that hold the least distance fit 64 bits");
    F32x4 w0[BLOCKS];
    F32x4 w1[BLOCKS];
    F32x4 w2[BLOCKS];

    void refresh() {}

    DITHERING_ALWAYS_INLINE std::size_t find(F32x4 v) const {
        const F32x4 c0 = splat(first(v));
        const F32x4 c1 = splat(second(v));
        const F32x4 c2 = splat(third(v));
        const F32x4 inf = splat(INF);
        // Unrolled whole, so that the distances stay in registers.
        F32x4 d[BLOCKS];
DITHERING_UNROLL(16)
        for (std::size_t b = 0; b < BLOCKS; ++b) {
            const F32x4 t1 = c1 - w1[b];
            const F32x4 t0 = c0 - w0[b];
            const F32x4 t2 = c2 - w2[b];
            d[b] = min(squared_distance(t0, t1, t2), inf);
        }
        F32x4 m = d[0];
DITHERING_UNROLL(16)
        for (std::size_t b = 1; b < BLOCKS; ++b) m = min(m, d[b]);
        m = min(m, swap_halves(m));
        m = min(m, swap_neighbours(m));
        std::uint64_t at = 0;  // four lanes a block, up to sixteen blocks
DITHERING_UNROLL(16)
        for (std::size_t b = 0; b < BLOCKS; ++b) {
            at |= static_cast<std::uint64_t>(bits(equal(d[b], m))) << (4 * b);
        }
        // m is one of the distances, so some lane matched and `at` is not 0.
        return static_cast<std::size_t>(std::countr_zero(at));
    }
};

template <std::size_t BLOCKS>
FullScan<BLOCKS> full_scan_of(const Palette& palette) {
    float lanes_of[3][4 * BLOCKS];
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (std::size_t k = 0; k < 3; ++k) {
        for (std::size_t j = 0; j < 4 * BLOCKS; ++j) {
            lanes_of[k][j] = j < palette.size() ? palette.working[3 * j + k] : nan;
        }
    }
    FullScan<BLOCKS> scan;
    for (std::size_t b = 0; b < BLOCKS; ++b) {
        scan.w0[b] = load4(lanes_of[0] + 4 * b);
        scan.w1[b] = load4(lanes_of[1] + 4 * b);
        scan.w2[b] = load4(lanes_of[2] + 4 * b);
    }
    return scan;
}

// Palette::nearest, or a NearestGrid's, called per pixel.
struct CallScan {
    const Palette* palette;
    void refresh() {}
    std::size_t find(F32x4 v) const { return palette->nearest(first(v), second(v), third(v)); }
};
struct GridCall {
    NearestGrid* grid;
    void refresh() {}
    std::size_t find(F32x4 v) const { return grid->nearest(first(v), second(v), third(v)); }
};

// The searches as run_chosen_search picks them (palette_rows_loop.hpp):
// the grid is NearestGrid's own lookup, inside its innermost cube or not.
struct Vec128Searches {
    static constexpr std::size_t LANES = 4;
    static constexpr std::size_t SCAN_CAPACITY = palette_rows::SCAN_CAPACITY;
    static constexpr std::size_t automatic_scan_limit(bool) { return FULL_SCAN_MAX_COLORS; }
    template <std::size_t BLOCKS>
    static FullScan<BLOCKS> full_scan(const Palette& palette) {
        return full_scan_of<BLOCKS>(palette);
    }
    template <bool>
    static GridCall grid_find(NearestGrid& grid) {
        return {&grid};
    }
    using CallScan = palette_rows::CallScan;
};

}  // namespace
}  // namespace dithering::palette_rows

namespace dithering {

using namespace palette_rows;

PassStatus palette_pass_vec128(ImageView image, const ColorSpace& space, const Palette& palette,
                               const DirectionWeights& forward, const DirectionWeights& reverse,
                               const DiffusionOptions& options) noexcept {
    return with_pass(image, space, palette, forward, reverse, options, [&](const Pass& pass) {
        run_chosen_search<Vec128Searches>(pass, palette, options.search);
    });
}

std::size_t nearest_in_registers_vec128(const Palette& palette, float c0, float c1,
                                        float c2) noexcept {
    return nearest_in_registers<Vec128Searches>(palette, lanes(c0, c1, c2, 0.0f));
}

}  // namespace dithering
