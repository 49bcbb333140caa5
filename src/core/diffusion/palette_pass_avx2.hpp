// The palette pass for processors with AVX2: several rows in flight at
// once, with the nearest-colour search inlined into the pixel loop.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/color/color_space.hpp"
#include "core/color/palette.hpp"
#include "core/diffusion/error_rows.hpp"
#include "core/simd/arch.hpp"

namespace dithering {

// The nearest-colour search inside the pass: `automatic` scans every
// colour from registers for small palettes and uses a NearestGrid for
// larger ones.
enum class PaletteSearch { automatic, full_scan, grid };
inline constexpr std::size_t PALETTE_MAX_ROWS = 4;

#if DITHERING_ARCH_X86
// Only callable when nearest_path_supported(NearestPath::avx2), for
// weights where fast_forms_apply and that spread something (row 0 used);
// the caller checks both. Same contract and the same bytes as
// palette_pass_plain. `rows_in_flight` is 1..PALETTE_MAX_ROWS (0 picks
// the default); serpentine scans always run one row at a time. Fails only
// with out_of_memory (the error rows, or the grid's tables).
PassStatus palette_pass_avx2(std::uint8_t* pixels, std::size_t height, std::size_t width,
                             std::size_t channels, const ColorSpace& space,
                             const Palette& palette, const DirectionWeights& forward,
                             const DirectionWeights& reverse, bool serpentine,
                             PaletteSearch search, std::size_t rows_in_flight) noexcept;

// The pass's whole-palette search of a palette of at most 64 colours, on
// a single value, for tests; only callable with AVX2.
std::size_t nearest_in_registers_avx2(const Palette& palette, float c0, float c1,
                                      float c2) noexcept;

#endif

}  // namespace dithering
