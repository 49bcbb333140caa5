// The error-diffusion pass one row at a time, each row's chain of errors
// carried in registers and its share to the rows below added afterwards
// across whole vectors of cells.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/color/color_space.hpp"
#include "core/color/levels.hpp"
#include "core/color/palette.hpp"
#include "core/diffusion/error_rows.hpp"
#include "core/diffusion/kernels.hpp"
#include "core/diffusion/pass_options.hpp"
#include "core/image/image_view.hpp"

namespace dithering {

// The bytes of levels_pass_plain and palette_pass_plain, raster or
// serpentine, for weights where fast_forms_apply(rows); only the 128-bit
// vectors every x86-64 and aarch64 processor has are used. The palette form
// searches with Palette::nearest, or above 64 colours a NearestGrid; with
// `bounded` it gives palette_pass_plain's bounded bytes.
// Fail only with out_of_memory.
PassStatus levels_pass_register_scan(ImageView image, std::size_t channel, const ColorSpace& space,
                                     const Levels& levels, const KernelRows& rows,
                                     bool serpentine) noexcept;
PassStatus palette_pass_register_scan(ImageView image, const ColorSpace& space,
                                      const Palette& palette, const KernelRows& rows,
                                      const DiffusionOptions& options) noexcept;

}  // namespace dithering
