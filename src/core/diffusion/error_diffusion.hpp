// Error diffusion: one channel against levels, or RGB against a palette.
// Each entry point picks the form that runs fastest for its arguments:
// the plain form (plain_pass.hpp), one row at a time in registers
// (register_scan.hpp), sixteen rows in vector lanes (levels_wavefront.hpp)
// or several palette rows in flight (palette_rows.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/color/color_space.hpp"
#include "core/color/levels.hpp"
#include "core/color/palette.hpp"
#include "core/diffusion/error_rows.hpp"
#include "core/diffusion/kernels.hpp"
#include "core/diffusion/pass_options.hpp"
#include "core/image/image_view.hpp"

namespace dithering {

// Both passes work in place on the bytes of `image` (image_view.hpp).
// Rows run top to bottom; with `serpentine` the odd rows are scanned right
// to left with the mirrored windows of `rows`, every other row left to
// right with the forward ones. Each pixel value is lut[byte] plus the
// error accumulated on it; it is quantized, its output byte written over
// the input byte, and the whole error (the value is never clamped, except
// by the bounded palette pass) spread with the weights of `rows`. Single
// precision throughout, every multiply and add rounded on its own. Error
// pushed outside the image is dropped. An empty image is a no-op. Neither
// pass throws or aborts.
//
// levels_pass and palette_pass give, byte for byte, the results of the
// *_plain forms (plain_pass.hpp), which follow the window-by-window
// description literally and serve as the reference. That holds for the tables
// ColorSpace::create builds (finite working values in 0..255) and weight
// windows from kernel_rows with a strength in 0..1; for other windows (and
// strength 0) they run the plain forms themselves.

// Diffuses channel `channel` (< channels) on its own to `levels`. With two
// levels the level is 1 exactly when v >= 127.5 (NaN gives level 0);
// otherwise it is levels.quantize(v).
PassStatus levels_pass(ImageView image, std::size_t channel, const ColorSpace& space,
                       const Levels& levels, const KernelRows& rows, bool serpentine) noexcept;

// Diffuses every channel but `image.alpha` to `levels`, each on its own: the
// bytes of levels_pass on each channel in turn. Where the rows run in
// vector lanes, all channels of a band of rows go through together.
PassStatus levels_pass_channels(ImageView image, const ColorSpace& space, const Levels& levels,
                                const KernelRows& rows, bool serpentine) noexcept;

// Diffuses channels 0, 1, 2 together to the nearest colour of `palette`
// (channels >= 3), writing colors[j] there; channels from 3 up are neither
// read nor written. Of `options` (pass_options.hpp), serpentine and
// bounded change the bytes; the other fields only choose among forms that
// give the same bytes, for tests and benchmarks. Where the windows call
// for the plain form, it runs whatever was chosen; when nothing is spread
// (strength 0) the single-row form runs.
//
// With `bounded` each component of a pixel's value is first clamped to the
// working range 0..255 (value_bound.hpp), and the error spread is the
// clamped value minus the chosen colour. Without it, a palette that does
// not enclose the picture's colours lets the error pile up far beyond
// 0..255, to come out pixels later as streaks; with it every error
// component stays within -255..255. Levels need no bound: 0 and 255 are
// always levels, so a value beyond them keeps no more error than was
// carried onto it, and the error cannot run away.
PassStatus palette_pass(ImageView image, const ColorSpace& space, const Palette& palette,
                        const KernelRows& rows, const DiffusionOptions& options) noexcept;

}  // namespace dithering
