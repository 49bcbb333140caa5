// The plain forms of the error-diffusion pass: every window cell added at
// every pixel, exactly as the weights are described. The fast forms are
// tested against them.
#include "core/diffusion/plain_pass.hpp"

#include "core/color/nearest_scan.hpp"
#include "core/diffusion/value_bound.hpp"

namespace dithering {

PassStatus levels_pass_plain(ImageView image, std::size_t channel, const ColorSpace& space,
                             const Levels& levels, const KernelRows& rows, bool serpentine,
                             float* trace) noexcept {
    std::uint8_t* const pixels = image.pixels;
    const std::size_t height = image.height;
    const std::size_t width = image.width;
    const std::size_t channels = image.channels;
    if (height == 0 || width == 0) return PassStatus::ok;
    ErrorRows error(width, 1, 0);
    if (!error.ok()) return PassStatus::out_of_memory;
    for (std::size_t y = 0; y < height; ++y) {
        const bool reverse = reversed_row(serpentine, y);
        const auto& windows = reverse ? rows.mirrored : rows.forward;
        float* const targets[3] = {error.cur(), error.next(), error.next2()};
        for (std::size_t i = 0; i < width; ++i) {
            const std::size_t x = reverse ? width - 1 - i : i;
            std::uint8_t& byte = pixels[(y * width + x) * channels + channel];
            const float v = space.lut[byte] + targets[0][x + 2];
            const std::size_t level = levels.diffusion_level(v);
            byte = levels.codes[level];
            const float e = v - levels.values[level];
            if (trace != nullptr) trace[y * width + x] = e;
            for (std::size_t dy = 0; dy < 3; ++dy) {
                if (!rows.row_used[dy]) continue;
                float* cells = targets[dy] + x;  // cell x is column x - 2
                for (std::size_t k = 0; k < WINDOW_CELLS; ++k) {
                    const float add = windows[dy][k] * e;
                    cells[k] = cells[k] + add;
                }
            }
        }
        error.rotate();
    }
    return PassStatus::ok;
}

namespace {

// The palette pass, with or without the bound of value_bound.hpp.
template <bool BOUNDED>
PassStatus palette_pass_plain_as(ImageView image, const ColorSpace& space, const Palette& palette,
                                 const KernelRows& rows, bool serpentine) noexcept {
    std::uint8_t* const pixels = image.pixels;
    const std::size_t height = image.height;
    const std::size_t width = image.width;
    const std::size_t channels = image.channels;
    if (height == 0 || width == 0 || palette.size() == 0) return PassStatus::ok;
    ErrorRows error(width, 3, 0);
    if (!error.ok()) return PassStatus::out_of_memory;
    for (std::size_t y = 0; y < height; ++y) {
        const bool reverse = reversed_row(serpentine, y);
        const auto& windows = reverse ? rows.mirrored : rows.forward;
        float* const targets[3] = {error.cur(), error.next(), error.next2()};
        for (std::size_t i = 0; i < width; ++i) {
            const std::size_t x = reverse ? width - 1 - i : i;
            std::uint8_t* px = pixels + (y * width + x) * channels;
            const float* carried = targets[0] + 3 * (x + 2);
            float v[3];
            for (std::size_t k = 0; k < 3; ++k) v[k] = space.lut[px[k]] + carried[k];
            if constexpr (BOUNDED) {
                for (std::size_t k = 0; k < 3; ++k) v[k] = bound_to_working_range(v[k]);
            }
            const std::size_t j = nearest_reference(palette.working.data(), palette.size(),
                                                    v[0], v[1], v[2]);
            float e[3];
            for (std::size_t k = 0; k < 3; ++k) {
                px[k] = palette.colors[3 * j + k];
                e[k] = v[k] - palette.working[3 * j + k];
            }
            for (std::size_t dy = 0; dy < 3; ++dy) {
                if (!rows.row_used[dy]) continue;
                float* cells = targets[dy] + 3 * x;
                for (std::size_t k = 0; k < WINDOW_CELLS; ++k) {
                    for (std::size_t m = 0; m < 3; ++m) {
                        const float add = windows[dy][k] * e[m];
                        cells[3 * k + m] = cells[3 * k + m] + add;
                    }
                }
            }
        }
        error.rotate();
    }
    return PassStatus::ok;
}

}  // namespace

PassStatus palette_pass_plain(ImageView image, const ColorSpace& space, const Palette& palette,
                              const KernelRows& rows, const DiffusionOptions& options) noexcept {
    const bool serpentine = options.serpentine;
    return options.bounded
               ? palette_pass_plain_as<true>(image, space, palette, rows, serpentine)
               : palette_pass_plain_as<false>(image, space, palette, rows, serpentine);
}

}  // namespace dithering
