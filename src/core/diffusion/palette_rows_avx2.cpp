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
#include "core/simd/lanes8.hpp"
#include "core/color/color_distance.hpp"
#include "core/diffusion/full_scan.hpp"
#include "core/diffusion/palette_rows_loop.hpp"

namespace dithering::palette_rows {
namespace {

using avx2::grid_search_of;
using avx2::GridSearch;
using avx2::nearest_out_of_line;


// --------------------------------------------------------------- searches

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
    static constexpr std::size_t SCAN_CAPACITY = FULL_SCAN_CAPACITY;
    static constexpr std::size_t automatic_scan_limit(bool bounded) {
        return full_scan_limit(bounded);
    }
    template <std::size_t BLOCKS>
    static FullScan<simd::Lanes8, BLOCKS> full_scan(const Palette& palette) {
        return full_scan_of<simd::Lanes8, BLOCKS>(palette);
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
