// The nine error-diffusion kernels and their pre-scaled weight windows.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace dithering {

// One weight of a kernel: the receiving pixel sits dx columns further along
// the scan direction and dy rows down from the pixel being quantized.
struct Tap {
    std::int32_t dx;
    std::int32_t dy;
    float weight;
};

struct Kernel {
    std::string_view name;
    std::span<const Tap> taps;
    float divisor;
};

// The kernels in their canonical order: method listings and error messages
// name them in exactly this order.
extern const std::array<Kernel, 9> KERNELS;

// Cells per kernel row in a weight window. Taps reach at most two columns
// either side; the window covers columns x-2 .. x+5 so that one update is
// two whole 4-lane float vectors, cells 5..7 always zero.
inline constexpr int WINDOW_CELLS = 8;
inline constexpr int KERNEL_ROWS = 3;

using Window = std::array<float, WINDOW_CELLS>;

// A kernel's weights divided by its divisor and scaled by the strength.
// Cell k of row dy applies to column x + k - 2 of row y + dy. `forward`
// serves rows scanned left to right, `mirrored` (the kernel flipped left to
// right) rows scanned right to left.
struct KernelRows {
    std::array<Window, KERNEL_ROWS> forward{};
    std::array<Window, KERNEL_ROWS> mirrored{};
    std::array<bool, KERNEL_ROWS> row_used{};
};

// Each weight is (weight / divisor) * strength in single precision, divided
// first and multiplied second; a row counts as used when any of its weights
// is not 0.0 (NaN counts as used). Never fails.
KernelRows kernel_rows(const Kernel& kernel, float strength);

}  // namespace dithering
