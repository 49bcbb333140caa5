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

// Above this many colours the registers would not hold the palette and the
// scan spills; those palettes take a NearestGrid.
constexpr std::size_t FULL_SCAN_LIMIT = 64;

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

template <std::size_t BLOCKS>
void run_full_scan(const Pass& pass, const Palette& palette) {
    FullScan<BLOCKS> s = full_scan_of<BLOCKS>(palette);
    run_pass(pass, s);
}

}  // namespace
}  // namespace dithering::palette_rows

namespace dithering {

using namespace palette_rows;

PassStatus palette_pass_vec128(ImageView image, const ColorSpace& space, const Palette& palette,
                               const DirectionWeights& forward, const DirectionWeights& reverse,
                               bool serpentine, PaletteSearch search, std::size_t rows_in_flight,
                               bool bounded) noexcept {
    const auto run = [&](const Pass& pass) {
        const std::size_t m = palette.size();
        if (search == PaletteSearch::automatic) {
            search = m <= FULL_SCAN_LIMIT ? PaletteSearch::full_scan : PaletteSearch::grid;
        }
        if (search == PaletteSearch::grid) {
            std::optional<NearestGrid> grid = palette_pass_grid(palette, bounded);
            if (grid) {
                GridCall s{&*grid};
                run_pass(pass, s);
                return;
            }
            // The grid only saves time: without memory for it, every pixel
            // scans the whole palette.
        } else if (m <= FULL_SCAN_LIMIT) {
            with_scan_blocks<4, FULL_SCAN_LIMIT>(m, [&](auto blocks) {
                constexpr std::size_t BLOCKS = decltype(blocks)::value;
                FullScan<BLOCKS> s = full_scan_of<BLOCKS>(palette);
                run_pass(pass, s);
            });
            return;
        }
        CallScan s{&palette};
        run_pass(pass, s);
    };
    return with_pass(image, space, palette, forward, reverse, serpentine, rows_in_flight, bounded,
                     run);
}

std::size_t nearest_in_registers_vec128(const Palette& palette, float c0, float c1,
                                        float c2) noexcept {
    const F32x4 v = lanes(c0, c1, c2, 0.0f);
    return with_scan_blocks<4, FULL_SCAN_LIMIT>(palette.size(), [&](auto blocks) {
        return full_scan_of<decltype(blocks)::value>(palette).find(v);
    });
}

}  // namespace dithering
