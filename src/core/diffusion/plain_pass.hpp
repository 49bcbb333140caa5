// The reference forms of the error-diffusion pass, which follow the
// window-by-window description literally: what every faster form must
// match byte for byte, and what runs for weights the fast forms do not
// take.
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

// Three zero-filled rows of width + 8 cells (the cell of column x is
// x + 2), every used window row added cell by cell at every pixel, the
// current row cleared and the rows rotated at each row end. The contract
// of each is that of levels_pass and palette_pass (error_diffusion.hpp).
// With `trace` non-null the levels form also writes the error of each
// pixel to trace[y * width + x], for tests. The palette form reads only
// serpentine and bounded of its options: with `bounded` it clamps each
// pixel's value to 0..255 before its search (value_bound.hpp), as
// palette_pass does.
PassStatus levels_pass_plain(ImageView image, std::size_t channel, const ColorSpace& space,
                             const Levels& levels, const KernelRows& rows, bool serpentine,
                             float* trace = nullptr) noexcept;
PassStatus palette_pass_plain(ImageView image, const ColorSpace& space, const Palette& palette,
                              const KernelRows& rows, const DiffusionOptions& options) noexcept;

}  // namespace dithering
