// The levels pass with sixteen rows at once, each in its own vector lane,
// staggered so that every lane does exactly what the one-row-at-a-time scan
// does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/color/color_space.hpp"
#include "core/color/levels.hpp"
#include "core/diffusion/error_rows.hpp"
#include "core/diffusion/kernels.hpp"
#include "core/image/image_view.hpp"
#include "core/simd/isa.hpp"

namespace dithering {

namespace wavefront {
struct StepLoops;
}

// The wavefront's step loops by instruction set: the sixteen lanes in four
// 128-bit vectors of simd/vec128.hpp (SSE2, NEON, or the portable form),
// in two AVX2 ones or in one AVX-512 one; no portable entry (the single-row
// scan is that form). Every form writes the same bytes; levels_pass takes the one picked, and
// the single-row scan where none is (the 128-bit form pays only where those
// vectors are the processor's own).
using WavefrontSteps = wavefront::StepLoops (*)() noexcept;
// What the forms' rules look at: which of the twelve weights a pass's
// kernel has, as wavefront_taps gives them (wavefront_layout.hpp's bits).
struct WavefrontCall {
    unsigned taps;
};
const IsaForms<WavefrontSteps, WavefrontCall>& levels_wavefront_forms() noexcept;
unsigned wavefront_taps(const KernelRows& rows) noexcept;

// Diffuses each of the channels listed in `diffused` (distinct, each <
// channels) as levels_pass_plain does without serpentine, channel by
// channel, for weights where fast_forms_apply (error_rows.hpp); other
// channels are left as they are, on the form for `isa`: only callable when
// levels_wavefront_forms().runs(isa). Widths up to WAVEFRONT_MAX_WIDTH. With
// `trace` non-null and one channel listed, the error of each pixel (the
// value minus its level's value) is written to trace[y * width + x]; tests
// compare it with the plain form's. Fails only with out_of_memory.
PassStatus levels_pass_wavefront(Isa isa, ImageView image, std::span<const std::size_t> diffused,
                                 const ColorSpace& space, const Levels& levels,
                                 const KernelRows& rows, float* trace = nullptr) noexcept;

// The same for the one channel `channel`.
inline PassStatus levels_pass_wavefront(Isa isa, ImageView image, std::size_t channel,
                                        const ColorSpace& space, const Levels& levels,
                                        const KernelRows& rows, float* trace = nullptr) noexcept {
    const std::size_t diffused[] = {channel};
    return levels_pass_wavefront(isa, image, diffused, space, levels, rows, trace);
}

// The widest image levels_pass_wavefront takes: its column arithmetic runs
// in 32-bit lanes.
inline constexpr std::size_t WAVEFRONT_MAX_WIDTH = std::size_t{1} << 30;

}  // namespace dithering
