// Ordered and random dither: a per-pixel offset, then plain quantization.
#include "core/threshold_dither.hpp"

#include <memory>
#include <new>

namespace dithering {
namespace {

constexpr std::uint64_t GOLDEN_GAMMA = 0x9e3779b97f4a7c15ULL;
constexpr std::uint64_t SEED_MIX = 0xd1b54a32d192ed03ULL;

// The output byte of a levels pixel channel: the whole arithmetic of one
// channel, shared by every loop so that they cannot drift apart.
inline std::uint8_t level_byte(const ColorSpace& space, const Levels& levels, float offset,
                               std::uint8_t byte) {
    return levels.codes[levels.quantize(space.lut[byte] + offset)];
}

inline void palette_pixel(std::uint8_t* p, const ColorSpace& space, const Palette& palette,
                          const float amp[3], float u) {
    const float c0 = amp[0] * u + space.lut[p[0]];
    const float c1 = amp[1] * u + space.lut[p[1]];
    const float c2 = amp[2] * u + space.lut[p[2]];
    const std::uint8_t* color = &palette.colors[3 * palette.nearest(c0, c1, c2)];
    p[0] = color[0];
    p[1] = color[1];
    p[2] = color[2];
}

// With few tile cells and many pixels, the output byte is best looked up:
// it depends only on the tile cell and the input byte, so a table of
// cells x 256 bytes, filled with the very same arithmetic, turns the pixel
// loop into one load per channel.
constexpr std::size_t MAX_TABLE_CELLS = 4096;

std::unique_ptr<std::uint8_t[]> ordered_table(const Img& img, const ColorSpace& space,
                                              const Levels& levels, float amp,
                                              const ThresholdMatrix& matrix) {
    const std::size_t cells = matrix.rows * matrix.cols;
    if (cells > MAX_TABLE_CELLS || cells * 256 > img.size()) return nullptr;
    std::unique_ptr<std::uint8_t[]> table(new (std::nothrow) std::uint8_t[cells * 256]);
    if (!table) return nullptr;
    for (std::size_t cell = 0; cell < cells; ++cell) {
        const float offset = (matrix.thresholds[cell] + -0.5f) * amp;
        for (std::size_t b = 0; b < 256; ++b) {
            table[cell * 256 + b] = level_byte(space, levels, offset, static_cast<std::uint8_t>(b));
        }
    }
    return table;
}

}  // namespace

void ordered_levels(Img& img, const ColorSpace& space, const Levels& levels, float strength,
                    const ThresholdMatrix& matrix) noexcept {
    const float amp = strength * levels.step;
    const std::size_t channels = img.channels;
    const std::size_t skip = img.alpha.value_or(channels);
    std::uint8_t* p = img.pixels.get();
    const auto table = ordered_table(img, space, levels, amp, matrix);
    for (std::size_t y = 0; y < img.height; ++y) {
        const std::size_t tile_row = (y % matrix.rows) * matrix.cols;
        std::size_t col = 0;
        for (std::size_t x = 0; x < img.width; ++x, p += channels) {
            const std::size_t cell = tile_row + col;
            if (++col == matrix.cols) col = 0;
            if (table) {
                const std::uint8_t* lookup = &table[cell * 256];
                for (std::size_t c = 0; c < channels; ++c) {
                    if (c != skip) p[c] = lookup[p[c]];
                }
            } else {
                const float offset = (matrix.thresholds[cell] + -0.5f) * amp;
                for (std::size_t c = 0; c < channels; ++c) {
                    if (c != skip) p[c] = level_byte(space, levels, offset, p[c]);
                }
            }
        }
    }
}

void ordered_palette(Img& img, const ColorSpace& space, const Palette& palette, float strength,
                     const ThresholdMatrix& matrix) noexcept {
    const float amp[3] = {palette.spread[0] * strength, palette.spread[1] * strength,
                          palette.spread[2] * strength};
    std::uint8_t* p = img.pixels.get();
    for (std::size_t y = 0; y < img.height; ++y) {
        for (std::size_t x = 0; x < img.width; ++x, p += img.channels) {
            const float u = matrix.threshold_at(x, y) + -0.5f;
            palette_pixel(p, space, palette, amp, u);
        }
    }
}

std::uint64_t random_state_from_seed(std::uint64_t seed) noexcept { return seed ^ SEED_MIX; }

float random_unit_offset(std::uint64_t z) noexcept {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z = z ^ (z >> 31);
    const auto u = static_cast<std::uint32_t>(z >> 40);
    // u has 24 bits, so its conversion and the scaling are exact; only the
    // subtraction rounds (and for these values it does not need to).
    return static_cast<float>(u) * 0x1p-24f - 0.5f;
}

void random_levels(Img& img, const ColorSpace& space, const Levels& levels, float strength,
                   std::uint64_t state) noexcept {
    const float amp = strength * levels.step;
    const std::size_t channels = img.channels;
    const std::size_t skip = img.alpha.value_or(channels);
    std::uint8_t* p = img.pixels.get();
    const std::size_t pixels = img.height * img.width;
    for (std::size_t n = 0; n < pixels; ++n, p += channels) {
        state += GOLDEN_GAMMA;
        const float offset = random_unit_offset(state) * amp;
        for (std::size_t c = 0; c < channels; ++c) {
            if (c != skip) p[c] = level_byte(space, levels, offset, p[c]);
        }
    }
}

void random_palette(Img& img, const ColorSpace& space, const Palette& palette, float strength,
                    std::uint64_t state) noexcept {
    const float amp[3] = {palette.spread[0] * strength, palette.spread[1] * strength,
                          palette.spread[2] * strength};
    std::uint8_t* p = img.pixels.get();
    const std::size_t pixels = img.height * img.width;
    for (std::size_t n = 0; n < pixels; ++n, p += img.channels) {
        state += GOLDEN_GAMMA;
        palette_pixel(p, space, palette, amp, random_unit_offset(state));
    }
}

}  // namespace dithering
