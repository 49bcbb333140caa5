// Activity weights: a luma gradient summed over 3 x 3 blocks, mapped to a
// weight that falls as the block gets busier.
#include "core/palettes/activity_weights.hpp"

#include <algorithm>
#include <new>
#include <vector>

namespace dithering {
namespace {

std::uint32_t luma(const std::uint8_t* p) noexcept {
    return (77u * p[0] + 150u * p[1] + 29u * p[2] + 128u) >> 8;
}

std::uint32_t abs_diff(std::uint32_t a, std::uint32_t b) noexcept {
    return a > b ? a - b : b - a;
}

}  // namespace

bool activity_weights(const std::uint8_t* pixels, std::size_t height, std::size_t width,
                      std::size_t channels, std::uint8_t* weights) noexcept {
    if (height == 0 || width == 0) return true;
    try {
        // Luma of every row, then each row's gradient summed across its
        // three columns; a pixel's activity adds three such rows.
        std::vector<std::uint8_t> lumas(height * width);
        for (std::size_t i = 0; i < height * width; ++i) {
            lumas[i] = static_cast<std::uint8_t>(luma(pixels + i * channels));
        }
        auto luma_at = [&](std::size_t y, std::size_t x) { return lumas[y * width + x]; };
        std::vector<std::uint32_t> gradient(width);
        std::vector<std::uint32_t> across(3 * width);  // three rows, cycled
        auto fill_row = [&](std::size_t y, std::uint32_t* out) {
            const std::size_t up = y == 0 ? 0 : y - 1;
            const std::size_t down = y + 1 == height ? y : y + 1;
            for (std::size_t x = 0; x < width; ++x) {
                const std::size_t left = x == 0 ? 0 : x - 1;
                const std::size_t right = x + 1 == width ? x : x + 1;
                gradient[x] = abs_diff(luma_at(y, right), luma_at(y, left)) +
                              abs_diff(luma_at(down, x), luma_at(up, x));
            }
            for (std::size_t x = 0; x < width; ++x) {
                const std::size_t left = x == 0 ? 0 : x - 1;
                const std::size_t right = x + 1 == width ? x : x + 1;
                out[x] = gradient[left] + gradient[x] + gradient[right];
            }
        };
        auto row_of = [&](std::size_t y) { return across.data() + (y % 3) * width; };
        fill_row(0, row_of(0));
        if (height > 1) fill_row(1, row_of(1));
        constexpr std::uint32_t flat = 9 * ACTIVITY_KNEE;
        for (std::size_t y = 0; y < height; ++y) {
            // Row y + 1 takes the place of row y - 2, no longer needed.
            if (y >= 1 && y + 1 < height) fill_row(y + 1, row_of(y + 1));
            const std::uint32_t* above = row_of(y == 0 ? 0 : y - 1);
            const std::uint32_t* here = row_of(y);
            const std::uint32_t* below = row_of(y + 1 == height ? y : y + 1);
            for (std::size_t x = 0; x < width; ++x) {
                const std::uint32_t s = above[x] + here[x] + below[x];
                const std::uint32_t w = ACTIVITY_TOP * flat / (flat + s);
                weights[y * width + x] = static_cast<std::uint8_t>(std::max<std::uint32_t>(1, w));
            }
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace dithering
