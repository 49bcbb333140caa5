// The palette pass with several rows in flight at once, the nearest-colour
// search inlined into the pixel loop: one kernel (palette_rows_kernel.hpp)
// over AVX2 registers, or over the 128-bit vectors of every x86-64 and
// aarch64 processor (SSE2, NEON, or the portable form).
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

// Both forms: for weights where fast_forms_apply and that spread something
// (row 0 used); the caller checks. Same contract and the same bytes as
// palette_pass_plain, with or without its bound (`bounded`).
// `rows_in_flight` is 1..PALETTE_MAX_ROWS (0 picks the default); serpentine
// scans always run one row at a time. Fail only with out_of_memory (the
// error rows, or the grid's tables).

#if DITHERING_ARCH_X86
// Only callable when nearest_path_supported(NearestPath::avx2).
PassStatus palette_pass_avx2(std::uint8_t* pixels, std::size_t height, std::size_t width,
                             std::size_t channels, const ColorSpace& space,
                             const Palette& palette, const DirectionWeights& forward,
                             const DirectionWeights& reverse, bool serpentine,
                             PaletteSearch search, std::size_t rows_in_flight,
                             bool bounded) noexcept;

// The pass's whole-palette search of a palette of at most 64 colours, on
// a single value, for tests; only callable with AVX2.
std::size_t nearest_in_registers_avx2(const Palette& palette, float c0, float c1,
                                      float c2) noexcept;
#endif

// Any processor. `full_scan` (and `automatic` up to 64 colours) scans every
// colour from 128-bit registers, four at a time; `grid` (and `automatic`
// above 64) calls NearestGrid::nearest per pixel.
PassStatus palette_pass_vec128(std::uint8_t* pixels, std::size_t height, std::size_t width,
                               std::size_t channels, const ColorSpace& space,
                               const Palette& palette, const DirectionWeights& forward,
                               const DirectionWeights& reverse, bool serpentine,
                               PaletteSearch search, std::size_t rows_in_flight,
                               bool bounded) noexcept;

// The 128-bit form's whole-palette search of a palette of at most 64
// colours, on a single value, for tests.
std::size_t nearest_in_registers_vec128(const Palette& palette, float c0, float c1,
                                        float c2) noexcept;

}  // namespace dithering
