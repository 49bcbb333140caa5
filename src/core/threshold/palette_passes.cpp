// Ordered and random dither to a palette: their loops and the choice among them.
#include "core/threshold/threshold_dither.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "core/color/nearest_grid.hpp"
#include "core/threshold/threshold_loops.hpp"
#include "core/threshold/threshold_passes.hpp"

namespace dithering {
namespace {

// The plain loops' step: one pixel, searched by Palette::nearest.
inline void palette_pixel(std::uint8_t* p, const ColorSpace& space, const Palette& palette,
                          const float amp[3], float u) {
    const float c0 = amp[0] * u + space.lut[p[0]];
    const float c1 = amp[1] * u + space.lut[p[1]];
    const float c2 = amp[2] * u + space.lut[p[2]];
    const std::size_t j = palette.nearest(c0, c1, c2);
    const std::uint8_t* color = &palette.colors[3 * j];
    p[0] = color[0];
    p[1] = color[1];
    p[2] = color[2];
}

void palette_amps(const Palette& palette, float strength, float amp[3]) {
    amp[0] = palette.spread[0] * strength;
    amp[1] = palette.spread[1] * strength;
    amp[2] = palette.spread[2] * strength;
}

// Small palettes are searched by scanning every colour (in the vector loops
// eight pixels at a time, without a per-pixel reduction and call). Larger
// ones use a NearestGrid, whose cells list only the colours that can be
// nearest there: the same index. This is the grid for a palette too large
// for a scan of every colour; none otherwise, or when its memory cannot be
// had (the scan then does every distance, which is slower but the same).
std::optional<NearestGrid> grid_for(const Palette& palette) {
    if (palette.size() <= FULL_SCAN_MAX_COLORS) return std::nullopt;
    // The values stay within a threshold's reach of the pixels' colours,
    // so few cells are ever built: split crowded ones finely.
    constexpr std::size_t SPLIT_AGAIN_QUADS = 4;
    return NearestGrid::create(palette, SPLIT_AGAIN_QUADS);
}

void ordered_palette_plain(ImageView img, const ColorSpace& space, const Palette& palette,
                           float strength, const ThresholdMatrix& matrix) {
    float amp[3];
    palette_amps(palette, strength, amp);
    std::uint8_t* p = img.pixels;
    for (std::size_t y = 0; y < img.height; ++y) {
        for (std::size_t x = 0; x < img.width; ++x, p += img.channels) {
            const float u = matrix.threshold_at(x, y) + -0.5f;
            palette_pixel(p, space, palette, amp, u);
        }
    }
}

// One draw and one search per pixel, all the plain loop does.
void random_palette_plain(ImageView img, const ColorSpace& space, const Palette& palette,
                          float strength, std::uint64_t state) {
    float amp[3];
    palette_amps(palette, strength, amp);
    std::uint8_t* p = img.pixels;
    const std::size_t pixels = img.height * img.width;
    for (std::size_t n = 0; n < pixels; ++n, p += img.channels) {
        state += SPLITMIX_GAMMA;
        palette_pixel(p, space, palette, amp, random_unit_offset(state));
    }
}

// The vector loops: blocks of pixels with their offsets u, each through
// one form's palette pixel loop (palette_points.hpp), which searches the
// palette eight pixels at a time when it is small enough to scan whole,
// else in its grid, and moves the bytes in and out eight pixels at a time.
constexpr std::size_t PALETTE_BLOCK = PALETTE_POINTS_MAX;

using PalettePoints = void (*)(std::uint8_t* p, std::size_t count, std::size_t channels,
                               const float* u, const PointSearch& palette) noexcept;

// The palette as the pixel loops search it, and what that needs besides it.
struct PointPalette {
    std::optional<NearestGrid> grid;
    std::vector<std::uint32_t> packed;
    PointSearch search{};

    // False when memory ran out (the caller then takes the plain loop).
    bool prepare(const ColorSpace& space, const Palette& palette, float strength) noexcept {
        grid = grid_for(palette);
        search.grid = grid ? &*grid : nullptr;
        search.lut = space.lut.data();
        search.lut_is_byte = true;
        for (std::size_t b = 0; b < 256; ++b) {
            if (space.lut[b] != static_cast<float>(b)) search.lut_is_byte = false;
        }
        palette_amps(palette, strength, search.amp);
        search.working = palette.working.data();
        search.colors = palette.size();
        try {
            // At least sixteen words: the lookup for up to sixteen colours
            // reads two whole vectors of them.
            packed.assign(std::max<std::size_t>(palette.size(), 16), 0);
        } catch (const std::bad_alloc&) {
            return false;
        }
        for (std::size_t j = 0; j < palette.size(); ++j) {
            std::memcpy(&packed[j], &palette.colors[3 * j], 3);
        }
        search.packed = packed.data();
        return true;
    }
};

template <PalettePoints POINTS>
bool ordered_palette_vector(ImageView img, const ColorSpace& space, const Palette& palette,
                            float strength, const ThresholdMatrix& matrix, const PassIo& io) {
    PointPalette points;
    if (!points.prepare(space, palette, strength)) return false;
    // The offsets of a tile row repeated far enough that any block's run of
    // them is contiguous: u[i] = row[i mod cols] + -0.5 for i < span +
    // PALETTE_BLOCK, span being the columns the image reaches of a row.
    const std::size_t span = std::min(matrix.cols, img.width);
    std::vector<float> offsets;
    try {
        offsets.resize(span + PALETTE_BLOCK);
    } catch (const std::bad_alloc&) {
        return false;
    }
    copy_in(img, io);
    std::uint8_t* p = img.pixels;
    for (std::size_t y = 0; y < img.height; ++y) {
        const float* row = &matrix.thresholds[(y % matrix.rows) * matrix.cols];
        for (std::size_t i = 0, col = 0; i < offsets.size(); ++i) {
            offsets[i] = row[col] + -0.5f;
            if (++col == matrix.cols) col = 0;
        }
        std::size_t col = 0;
        for (std::size_t x = 0; x < img.width; x += PALETTE_BLOCK) {
            const std::size_t count = std::min(PALETTE_BLOCK, img.width - x);
            POINTS(p, count, img.channels, &offsets[col], points.search);
            col = (col + count) % matrix.cols;
            p += count * img.channels;
        }
    }
    return true;
}

using DrawOffsets = void (*)(std::uint64_t state, std::size_t count, float scale,
                             float* out) noexcept;

// The 128-bit draws where they pay on this build's 128-bit vectors, else
// the scalar draws: the same values. (Decided at compile time, as it does
// not depend on the call: no choice is made per block.)
void draw_offsets_vec128_or_plain(std::uint64_t state, std::size_t count, float scale,
                                  float* out) noexcept {
    if constexpr (random_vec128_pays(false)) {
        draw_offsets_vec128(state, count, scale, out);
        return;
    }
    for (std::size_t k = 0; k < count; ++k) {
        state += SPLITMIX_GAMMA;
        out[k] = random_unit_offset(state) * scale;
    }
}

// The draws of a block made up front (t * 1 is t exactly), then the
// nearest-colour searches.
template <PalettePoints POINTS, DrawOffsets DRAWS>
bool random_palette_vector(ImageView img, const ColorSpace& space, const Palette& palette,
                           float strength, std::uint64_t state, const PassIo& io) {
    PointPalette points;
    if (!points.prepare(space, palette, strength)) return false;
    copy_in(img, io);
    float draws[PALETTE_BLOCK] = {};
    std::uint8_t* p = img.pixels;
    const std::size_t pixels = img.height * img.width;
    for (std::size_t n = 0; n < pixels; n += PALETTE_BLOCK) {
        const std::size_t count = std::min(PALETTE_BLOCK, pixels - n);
        DRAWS(state + n * SPLITMIX_GAMMA, count, 1.0f, draws);
        POINTS(p, count, img.channels, draws, points.search);
        p += count * img.channels;
    }
    return true;
}

// Each loop as ordered_palette_on and random_palette_on run it, the tile
// already checked.
using OrderedPaletteLoop = bool (*)(ImageView img, const ColorSpace& space, const Palette& palette,
                                    float strength, const ThresholdMatrix& matrix,
                                    const PassIo& io);
using RandomPaletteLoop = bool (*)(ImageView img, const ColorSpace& space, const Palette& palette,
                                   float strength, std::uint64_t state, const PassIo& io);

// An in-place loop run on the caller's input: the input copied in first.
template <void (*Loop)(ImageView, const ColorSpace&, const Palette&, float, const ThresholdMatrix&)>
bool ordered_copied_in(ImageView img, const ColorSpace& space, const Palette& palette,
                       float strength, const ThresholdMatrix& matrix, const PassIo& io) {
    copy_in(img, io);
    Loop(img, space, palette, strength, matrix);
    return true;
}

template <void (*Loop)(ImageView, const ColorSpace&, const Palette&, float, std::uint64_t)>
bool random_copied_in(ImageView img, const ColorSpace& space, const Palette& palette,
                      float strength, std::uint64_t state, const PassIo& io) {
    copy_in(img, io);
    Loop(img, space, palette, strength, state);
    return true;
}

// Indexed by ThresholdAlgorithm.
constexpr IsaForms<OrderedPaletteLoop> ORDERED_PALETTE_LOOPS[] = {
    {{&ordered_copied_in<ordered_palette_plain>}, {nullptr}, {nullptr}},
    {{nullptr},
     {&ordered_palette_vector<palette_points_vec128>},
     {DITHERING_AVX2_FORM((&ordered_palette_vector<palette_points_avx2>))},
     {DITHERING_AVX512_FORM((&ordered_palette_vector<palette_points_avx512>))}},
};
constexpr IsaForms<RandomPaletteLoop> RANDOM_PALETTE_LOOPS[] = {
    {{&random_copied_in<random_palette_plain>}, {nullptr}, {nullptr}},
    {{nullptr},
     {&random_palette_vector<palette_points_vec128, draw_offsets_vec128_or_plain>},
     {DITHERING_AVX2_FORM((&random_palette_vector<palette_points_avx2, draw_offsets_avx2>))},
     {DITHERING_AVX512_FORM((&random_palette_vector<palette_points_avx512, draw_offsets_avx512>))}},
};

}  // namespace

bool ordered_palette_on(ThresholdAlgorithm algorithm, Isa isa, ImageView img,
                        const ColorSpace& space, const Palette& palette, float strength,
                        const ThresholdMatrix& matrix, PassIo io) noexcept {
    if (!tile_is_valid(matrix)) return false;
    const OrderedPaletteLoop loop =
        ORDERED_PALETTE_LOOPS[static_cast<std::size_t>(algorithm)].on(isa);
    if (loop == nullptr) return false;
    return loop(img, space, palette, strength, matrix, io);
}

void ordered_palette(ImageView img, const ColorSpace& space, const Palette& palette, float strength,
                     const ThresholdMatrix& matrix, const std::uint8_t* source) noexcept {
    const PassIo io{source, false};
    if (!tile_is_valid(matrix)) {
        copy_in(img, io);
        return;
    }
    // The vector loops decline when their memory cannot be had; the plain
    // one needs none.
    const bool done = ORDERED_PALETTE_LOOPS[1].run_widest({}, [&](Isa, OrderedPaletteLoop loop) {
        return loop(img, space, palette, strength, matrix, io);
    });
    if (!done) {
        ordered_palette_on(ThresholdAlgorithm::plain, Isa::portable, img, space, palette, strength,
                           matrix, io);
    }
}

bool random_palette_on(ThresholdAlgorithm algorithm, Isa isa, ImageView img,
                       const ColorSpace& space, const Palette& palette, float strength,
                       std::uint64_t state, PassIo io) noexcept {
    const RandomPaletteLoop loop =
        RANDOM_PALETTE_LOOPS[static_cast<std::size_t>(algorithm)].on(isa);
    if (loop == nullptr) return false;
    return loop(img, space, palette, strength, state, io);
}

void random_palette(ImageView img, const ColorSpace& space, const Palette& palette, float strength,
                    std::uint64_t state, const std::uint8_t* source) noexcept {
    const PassIo io{source, false};
    const bool done = RANDOM_PALETTE_LOOPS[1].run_widest({}, [&](Isa, RandomPaletteLoop loop) {
        return loop(img, space, palette, strength, state, io);
    });
    if (!done) {
        random_palette_on(ThresholdAlgorithm::plain, Isa::portable, img, space, palette, strength,
                          state, io);
    }
}

}  // namespace dithering
