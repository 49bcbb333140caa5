// The kernel table and the construction of the per-row weight windows.
#include "core/diffusion/kernels.hpp"

namespace dithering {
namespace {

// Taps in their stored order; orientation for dx: forward along the scan.
constexpr Tap FLOYD_STEINBERG[] = {
    {1, 0, 7.0f}, {-1, 1, 3.0f}, {0, 1, 5.0f}, {1, 1, 1.0f}};
constexpr Tap FALSE_FLOYD_STEINBERG[] = {
    {1, 0, 3.0f}, {0, 1, 3.0f}, {1, 1, 2.0f}};
constexpr Tap JARVIS_JUDICE_NINKE[] = {
    {1, 0, 7.0f},  {2, 0, 5.0f},  {-2, 1, 3.0f}, {-1, 1, 5.0f},
    {0, 1, 7.0f},  {1, 1, 5.0f},  {2, 1, 3.0f},  {-2, 2, 1.0f},
    {-1, 2, 3.0f}, {0, 2, 5.0f},  {1, 2, 3.0f},  {2, 2, 1.0f}};
constexpr Tap STUCKI[] = {
    {1, 0, 8.0f},  {2, 0, 4.0f},  {-2, 1, 2.0f}, {-1, 1, 4.0f},
    {0, 1, 8.0f},  {1, 1, 4.0f},  {2, 1, 2.0f},  {-2, 2, 1.0f},
    {-1, 2, 2.0f}, {0, 2, 4.0f},  {1, 2, 2.0f},  {2, 2, 1.0f}};
// Six weights over a divisor of 8: only three quarters of the error is
// passed on, which is what gives this kernel its contrast.
constexpr Tap ATKINSON[] = {
    {1, 0, 1.0f}, {2, 0, 1.0f}, {-1, 1, 1.0f},
    {0, 1, 1.0f}, {1, 1, 1.0f}, {0, 2, 1.0f}};
constexpr Tap BURKES[] = {
    {1, 0, 8.0f},  {2, 0, 4.0f}, {-2, 1, 2.0f}, {-1, 1, 4.0f},
    {0, 1, 8.0f},  {1, 1, 4.0f}, {2, 1, 2.0f}};
constexpr Tap SIERRA[] = {
    {1, 0, 5.0f},  {2, 0, 3.0f},  {-2, 1, 2.0f}, {-1, 1, 4.0f},
    {0, 1, 5.0f},  {1, 1, 4.0f},  {2, 1, 2.0f},  {-1, 2, 2.0f},
    {0, 2, 3.0f},  {1, 2, 2.0f}};
constexpr Tap SIERRA_TWO_ROW[] = {
    {1, 0, 4.0f},  {2, 0, 3.0f}, {-2, 1, 1.0f}, {-1, 1, 2.0f},
    {0, 1, 3.0f},  {1, 1, 2.0f}, {2, 1, 1.0f}};
constexpr Tap SIERRA_LITE[] = {
    {1, 0, 2.0f}, {-1, 1, 1.0f}, {0, 1, 1.0f}};

}  // namespace

const std::array<Kernel, 9> KERNELS = {{
    {"floyd_steinberg", FLOYD_STEINBERG, 16.0f},
    {"false_floyd_steinberg", FALSE_FLOYD_STEINBERG, 8.0f},
    {"jarvis_judice_ninke", JARVIS_JUDICE_NINKE, 48.0f},
    {"stucki", STUCKI, 42.0f},
    {"atkinson", ATKINSON, 8.0f},
    {"burkes", BURKES, 32.0f},
    {"sierra", SIERRA, 32.0f},
    {"sierra_two_row", SIERRA_TWO_ROW, 16.0f},
    {"sierra_lite", SIERRA_LITE, 4.0f},
}};

KernelRows kernel_rows(const Kernel& kernel, float strength) {
    KernelRows rows;
    for (const Tap& tap : kernel.taps) {
        // Divide first, then scale: the bytes of every pass depend on it.
        const float divided = tap.weight / kernel.divisor;
        const float c = divided * strength;
        const auto dy = static_cast<std::size_t>(tap.dy);
        rows.forward[dy][static_cast<std::size_t>(tap.dx + 2)] = c;
        rows.mirrored[dy][static_cast<std::size_t>(2 - tap.dx)] = c;
        // `!(c == 0)` so that a NaN weight still marks its row as used.
        if (!(c == 0.0f)) rows.row_used[dy] = true;
    }
    return rows;
}

}  // namespace dithering
