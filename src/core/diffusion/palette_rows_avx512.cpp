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
#include "core/diffusion/palette_rows_loop.hpp"

namespace dithering::palette_rows {
namespace {

using simd::F32x16;
using simd::I32x16;
using simd::Lanes16;

// The bit pattern of +inf: a distance's pattern is below it exactly when
// the distance is finite.
constexpr std::uint32_t INF_BITS = 0x7f800000u;

// Four registers of sixteen lanes.
constexpr std::size_t SCAN_CAPACITY = 64;
static_assert(FULL_SCAN_MAX_COLORS <= SCAN_CAPACITY);
// As the AVX2 form's (palette_rows_avx2.cpp says why).
constexpr std::size_t BOUNDED_FULL_SCAN_MAX_COLORS = 32;

// The AVX2 form's FullScan (palette_rows_avx2.cpp), sixteen lanes a block:
// distances ranked by their bit patterns, the first lane holding the least
// one the sequential answer unless it is not below +inf.
template <std::size_t BLOCKS>
struct FullScan {
    static_assert(BLOCKS <= 4, "the lanes that hold the least distance fit 64 bits");
    F32x16 w0[BLOCKS];
    F32x16 w1[BLOCKS];
    F32x16 w2[BLOCKS];

    void refresh() {}

    DITHERING_ALWAYS_INLINE std::size_t find(F32x4 value) const {
        const F32x16 c0 = splat(Lanes16{}, first(value));
        const F32x16 c1 = splat(Lanes16{}, second(value));
        const F32x16 c2 = splat(Lanes16{}, third(value));
        I32x16 d[BLOCKS];
        for (std::size_t b = 0; b < BLOCKS; ++b) {
            const F32x16 t1 = c1 - w1[b];
            const F32x16 t0 = c0 - w0[b];
            const F32x16 t2 = c2 - w2[b];
            d[b] = as_bits(squared_distance(t0, t1, t2));
        }
        I32x16 m = d[0];
        for (std::size_t b = 1; b < BLOCKS; ++b) m = min_unsigned(m, d[b]);
        m = min_unsigned_everywhere(m);
        std::uint64_t at = 0;  // sixteen lanes a block, up to four blocks
        for (std::size_t b = 0; b < BLOCKS; ++b) {
            at |= static_cast<std::uint64_t>(equal_bits(d[b], m)) << (16 * b);
        }
        const auto least = static_cast<std::uint32_t>(first(m));
        const auto first_at = static_cast<std::size_t>(std::countr_zero(at));
        return least < INF_BITS ? first_at : 0;
    }
};

template <std::size_t BLOCKS>
FullScan<BLOCKS> full_scan_of(const Palette& palette) {
    float lanes_of[3][16 * BLOCKS];
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (std::size_t k = 0; k < 3; ++k) {
        for (std::size_t j = 0; j < 16 * BLOCKS; ++j) {
            lanes_of[k][j] = j < palette.size() ? palette.working[3 * j + k] : nan;
        }
    }
    FullScan<BLOCKS> scan;
    for (std::size_t b = 0; b < BLOCKS; ++b) {
        scan.w0[b] = load(Lanes16{}, lanes_of[0] + 16 * b);
        scan.w1[b] = load(Lanes16{}, lanes_of[1] + 16 * b);
        scan.w2[b] = load(Lanes16{}, lanes_of[2] + 16 * b);
    }
    return scan;
}

struct Avx512Searches {
    static constexpr std::size_t LANES = 16;
    static constexpr std::size_t SCAN_CAPACITY = palette_rows::SCAN_CAPACITY;
    static constexpr std::size_t automatic_scan_limit(bool bounded) {
        return bounded ? BOUNDED_FULL_SCAN_MAX_COLORS : FULL_SCAN_MAX_COLORS;
    }
    template <std::size_t BLOCKS>
    static FullScan<BLOCKS> full_scan(const Palette& palette) {
        return full_scan_of<BLOCKS>(palette);
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
