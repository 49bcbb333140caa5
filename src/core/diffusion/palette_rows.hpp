// The palette pass with several rows in flight at once, the nearest-colour
// search inlined into the pixel loop: one kernel (palette_rows_loop.hpp)
// over AVX2 registers, or over the 128-bit vectors of every x86-64 and
// aarch64 processor (SSE2, NEON, or the portable form).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/color/color_space.hpp"
#include "core/color/nearest_grid.hpp"
#include "core/color/palette.hpp"
#include "core/diffusion/error_rows.hpp"
#include "core/diffusion/pass_options.hpp"
#include "core/image/image_view.hpp"
#include "core/simd/arch.hpp"
#include "core/simd/isa.hpp"

namespace dithering {

// The NearestGrid of a palette pass (nullopt without the memory for it).
// Unbounded values wander over many cells, each to be built, so crowded
// cells split only once unless very long. A bounded pass's values stay
// in 0..255, where at most 16 x 16 x 16 top cells exist, so up to 256
// colours its crowded cells split again as soon as they hold more than
// two quads: on a photo's own median-cut palettes (callgrind, 1024x1024)
// hubble_deep_field takes 208 -> 159 instructions a pixel at 64 colours
// and 265 -> 188 at 256, the other photos are unchanged. Thousands of
// colours make each split cost more than it saves (4096 of
// immunohistochemistry's pixels at 2048x2048: 369 -> 795 instructions a
// pixel when split at four quads).
inline std::optional<NearestGrid> palette_pass_grid(const Palette& palette, bool bounded) {
    constexpr std::size_t BOUNDED_FINE_SPLIT_MAX_COLORS = 256;
    if (bounded && palette.size() <= BOUNDED_FINE_SPLIT_MAX_COLORS) {
        return NearestGrid::create(palette, NearestGrid::SPLIT_QUADS);
    }
    return NearestGrid::create(palette);
}

// Both forms: for weights where fast_forms_apply and that spread something
// (row 0 used); the caller checks. Same contract and the same bytes as
// palette_pass_plain, with or without its bound; of `options`, they read
// serpentine, bounded, search and rows_in_flight. Fail only with
// out_of_memory (the error rows, or the grid's tables).
using PaletteRowsPass = PassStatus (*)(ImageView image, const ColorSpace& space,
                                       const Palette& palette, const DirectionWeights& forward,
                                       const DirectionWeights& reverse,
                                       const DiffusionOptions& options) noexcept;

// What the rows-in-flight forms' rules look at.
struct PaletteRowsCall {
    std::size_t colors;
};

// The rows-in-flight forms by instruction set, each with the rule that
// says whether it beats the single-row form (error_diffusion.cpp, where
// palette_pass picks from them; tests force each through it).
const IsaForms<PaletteRowsPass, PaletteRowsCall>& palette_rows_forms() noexcept;

#if DITHERING_ARCH_X86
// Only callable when isa_available(Isa::avx2).
PassStatus palette_pass_avx2(ImageView image, const ColorSpace& space, const Palette& palette,
                             const DirectionWeights& forward, const DirectionWeights& reverse,
                             const DiffusionOptions& options) noexcept;

// The pass's whole-palette search of a palette of at most 64 colours, on
// a single value, for tests; only callable with AVX2.
std::size_t nearest_in_registers_avx2(const Palette& palette, float c0, float c1,
                                      float c2) noexcept;

// The same pass and search with the whole-palette scan in AVX-512
// registers, sixteen colours each. Only callable when
// isa_available(Isa::avx512).
PassStatus palette_pass_avx512(ImageView image, const ColorSpace& space, const Palette& palette,
                               const DirectionWeights& forward, const DirectionWeights& reverse,
                               const DiffusionOptions& options) noexcept;
std::size_t nearest_in_registers_avx512(const Palette& palette, float c0, float c1,
                                        float c2) noexcept;
#endif

// Any processor. `full_scan` (and `automatic` up to 64 colours) scans every
// colour from 128-bit registers, four at a time; `grid` (and `automatic`
// above 64) calls NearestGrid::nearest per pixel.
PassStatus palette_pass_vec128(ImageView image, const ColorSpace& space, const Palette& palette,
                               const DirectionWeights& forward, const DirectionWeights& reverse,
                               const DiffusionOptions& options) noexcept;

// The 128-bit form's whole-palette search of a palette of at most 64
// colours, on a single value, for tests.
std::size_t nearest_in_registers_vec128(const Palette& palette, float c0, float c1,
                                        float c2) noexcept;

}  // namespace dithering
