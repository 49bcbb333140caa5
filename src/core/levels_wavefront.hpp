// The levels pass for processors with AVX2: sixteen rows at once, each in
// its own vector lane, staggered so that every lane does exactly what the
// one-row-at-a-time scan does.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/color_space.hpp"
#include "core/diffusion.hpp"
#include "core/kernels.hpp"
#include "core/levels.hpp"

namespace dithering {

// True when the processor runs levels_pass_wavefront (AVX2).
bool levels_wavefront_supported() noexcept;

// Same contract and the same bytes as levels_pass_plain without
// serpentine, for weights that satisfy the fast forms' conditions (see
// diffusion.cpp); only callable when levels_wavefront_supported(). Widths
// up to 2^30. With `trace` non-null, the error of each pixel (the value
// minus its level's value, 0 where nothing is spread) is written to
// trace[y * width + x]; tests compare it with the plain form's. Fails only
// with out_of_memory.
PassStatus levels_pass_wavefront(std::uint8_t* pixels, std::size_t height, std::size_t width,
                                 std::size_t channels, std::size_t channel,
                                 const ColorSpace& space, const Levels& levels,
                                 const KernelRows& rows, float* trace = nullptr) noexcept;

// The widest image levels_pass_wavefront takes: its column arithmetic runs
// in 32-bit lanes.
inline constexpr std::size_t WAVEFRONT_MAX_WIDTH = std::size_t{1} << 30;

}  // namespace dithering
