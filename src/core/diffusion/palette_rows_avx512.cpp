// The palette pass with rows in flight, its whole-palette scan sixteen
// colours a register in AVX-512 (palette_rows_loop.hpp has the loops). A
// palette of 17 to 64 colours takes one to four registers instead of three
// to eight: fewer blocks to rank, for a lane reduction one step longer,
// which is why this form is picked above 16 colours only
// (error_diffusion.cpp). Passes that search a NearestGrid, or
// Palette::nearest, are the AVX2 form's: this form hands them over.
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
#include "core/color/nearest_grid.hpp"
#include "core/color/palette.hpp"
#include "core/diffusion/error_rows.hpp"
#include "core/diffusion/value_bound.hpp"
#include "core/simd/compiler.hpp"
#include "core/simd/vec128.hpp"

DITHERING_TARGET_AVX512_BEGIN
#include "core/simd/vec8_avx2.hpp"
#include "core/simd/vec16_avx512.hpp"
#include "core/color/color_distance.hpp"
#include "core/diffusion/full_scan.hpp"
#include "core/diffusion/palette_rows_loop.hpp"

namespace dithering::palette_rows {
namespace {

using simd::Lanes16;

struct Avx512Searches {
    static constexpr std::size_t LANES = 16;
    static constexpr std::size_t SCAN_CAPACITY = FULL_SCAN_CAPACITY;
    static constexpr std::size_t automatic_scan_limit(bool bounded) {
        return full_scan_limit(bounded);
    }
    template <std::size_t BLOCKS>
    static FullScan<Lanes16, BLOCKS> full_scan(const Palette& palette) {
        return full_scan_of<Lanes16, BLOCKS>(palette);
    }
};

}  // namespace
}  // namespace dithering::palette_rows

namespace dithering {

using namespace palette_rows;

PassStatus palette_pass_avx512(ImageView image, const ColorSpace& space, const Palette& palette,
                               const DirectionWeights& forward, const DirectionWeights& reverse,
                               const DiffusionOptions& options) noexcept {
    // run_chosen_search's choice, the scan's branch kept here.
    const std::size_t m = palette.size();
    PaletteSearch search = options.search;
    if (search == PaletteSearch::automatic) {
        search = m <= Avx512Searches::automatic_scan_limit(options.bounded)
                     ? PaletteSearch::full_scan
                     : PaletteSearch::grid;
    }
    if (search != PaletteSearch::full_scan || m > Avx512Searches::SCAN_CAPACITY) {
        return palette_pass_avx2(image, space, palette, forward, reverse, options);
    }
    return with_pass(image, space, palette, forward, reverse, options, [&](const Pass& pass) {
        with_scan_blocks<Avx512Searches::LANES, Avx512Searches::SCAN_CAPACITY>(
            m, [&](auto blocks) {
                auto scan = Avx512Searches::full_scan<decltype(blocks)::value>(palette);
                run_pass(pass, scan);
            });
    });
}

std::size_t nearest_in_registers_avx512(const Palette& palette, float c0, float c1,
                                        float c2) noexcept {
    return nearest_in_registers<Avx512Searches>(palette, lanes(c0, c1, c2, 0.0f));
}

}  // namespace dithering

DITHERING_TARGET_AVX512_END

#endif  // DITHERING_ARCH_X86
