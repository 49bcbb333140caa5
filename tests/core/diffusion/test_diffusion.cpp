// Error-diffusion passes: worked examples, and the fast forms against the
// plain window-by-window forms on many random images.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "check.hpp"
#include "core/color/color_space.hpp"
#include "core/color/levels.hpp"
#include "core/color/palette.hpp"
#include "core/diffusion/error_diffusion.hpp"
#include "core/diffusion/kernels.hpp"
#include "core/diffusion/method_names.hpp"
#include "core/diffusion/palette_rows.hpp"
#include "core/diffusion/plain_pass.hpp"
#include "core/diffusion/value_bound.hpp"
#include "core/simd/isa.hpp"
#include "core/simd/vec128.hpp"

using namespace dithering;

namespace {

using Bytes = std::vector<std::uint8_t>;

enum class Form { fast, plain };

Bytes levels_run(Form form, Bytes pixels, std::size_t height, std::size_t width,
                 std::size_t channels, std::size_t channel, const ColorSpace& space,
                 std::uint32_t n, const KernelRows& rows, bool serpentine) {
    const Levels levels = Levels::create(n, space);
    const PassStatus status = form == Form::fast
                                  ? levels_pass({pixels.data(), height, width, channels}, channel,
                                                space, levels, rows, serpentine)
                                  : levels_pass_plain({pixels.data(), height, width, channels},
                                                      channel, space, levels, rows, serpentine);
    CHECK(status == PassStatus::ok);
    return pixels;
}

Bytes gray(Form form, Bytes pixels, std::size_t height, std::size_t width, const char* method,
           bool serpentine, float strength = 1.0f, std::uint32_t n = 2, bool linear = false) {
    return levels_run(form, std::move(pixels), height, width, 1, 0, ColorSpace::create(linear),
                      n, kernel_rows(*parse_method(method), strength), serpentine);
}

Bytes palette_run(Form form, Bytes pixels, std::size_t height, std::size_t width,
                  std::size_t channels, const ColorSpace& space, const Palette& palette,
                  const KernelRows& rows, bool serpentine) {
    const PassStatus status = form == Form::fast
                                  ? palette_pass({pixels.data(), height, width, channels}, space,
                                                 palette, rows, {serpentine})
                                  : palette_pass_plain({pixels.data(), height, width, channels},
                                                       space, palette, rows, {serpentine});
    CHECK(status == PassStatus::ok);
    return pixels;
}

const Form BOTH[] = {Form::fast, Form::plain};

}  // namespace

CORE_TEST(diffusion_worked_examples) {
    for (Form form : BOTH) {
        CHECK(gray(form, Bytes(4, 128), 2, 2, "fs", false) == (Bytes{255, 0, 0, 255}));
        CHECK(gray(form, Bytes(9, 128), 3, 3, "fs", false) ==
              (Bytes{255, 0, 255, 0, 255, 0, 255, 0, 255}));
        CHECK(gray(form, Bytes(6, 96), 2, 3, "fs", false) == (Bytes{0, 255, 0, 0, 0, 255}));
        CHECK(gray(form, Bytes(6, 96), 2, 3, "fs", true) == (Bytes{0, 255, 0, 255, 0, 0}));
    }
}

CORE_TEST(diffusion_thin_images) {
    for (Form form : BOTH) {
        // One column: only the tap straight below (5/16) reaches a pixel.
        // 100 -> 0 (e 100); 100 + 31.25 -> 255 (e -123.75); 100 - 38.67 -> 0.
        CHECK(gray(form, Bytes(3, 100), 3, 1, "fs", false) == (Bytes{0, 255, 0}));
        // One row: only the row-0 taps matter. 100 -> 0; 143.75 -> 255;
        // 100 - 48.671875 -> 0; 100 + 22.456 -> 0.
        CHECK(gray(form, Bytes(4, 100), 1, 4, "fs", false) == (Bytes{0, 255, 0, 0}));
        CHECK(gray(form, Bytes(4, 100), 1, 4, "fs", true) == (Bytes{0, 255, 0, 0}));
        CHECK(gray(form, Bytes(1, 128), 1, 1, "jjn", true) == (Bytes{255}));
    }
}

CORE_TEST(diffusion_strength_zero_is_plain_quantization) {
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes image(7 * 9 * 3);
    for (auto& b : image) b = static_cast<std::uint8_t>(byte(rng));
    for (bool linear : {false, true}) {
        const ColorSpace space = ColorSpace::create(linear);
        for (std::uint32_t n : {2u, 3u, 4u, 7u, 256u}) {
            const Levels levels = Levels::create(n, space);
            for (Form form : BOTH) {
                const Bytes out = levels_run(form, image, 7, 9, 3, 1, space, n,
                                             kernel_rows(KERNELS[2], 0.0f), true);
                for (std::size_t i = 0; i < out.size(); ++i) {
                    if (i % 3 != 1) {
                        CHECK(out[i] == image[i]);  // other channels untouched
                        continue;
                    }
                    const float v = space.lut[image[i]];
                    const std::size_t level = n == 2 ? (v >= 127.5f ? 1 : 0) : levels.quantize(v);
                    CHECK(out[i] == levels.codes[level]);
                }
            }
        }
        const Palette palette =
            *Palette::create({0, 0, 0, 255, 0, 0, 0, 255, 0, 20, 30, 200, 255, 255, 255}, space);
        for (Form form : BOTH) {
            const Bytes out = palette_run(form, image, 7, 9, 3, space, palette,
                                          kernel_rows(KERNELS[0], 0.0f), false);
            for (std::size_t p = 0; p < image.size(); p += 3) {
                const std::size_t j = palette.nearest(space.lut[image[p]], space.lut[image[p + 1]],
                                                      space.lut[image[p + 2]]);
                CHECK(out[p] == palette.colors[3 * j] && out[p + 1] == palette.colors[3 * j + 1] &&
                      out[p + 2] == palette.colors[3 * j + 2]);
            }
        }
    }
    // 256 levels in sRGB at strength 0 return the input.
    for (Form form : BOTH) {
        CHECK(levels_run(form, image, 21, 9, 1, 0, ColorSpace::create(false), 256,
                         kernel_rows(KERNELS[0], 0.0f), false) == image);
    }
}

CORE_TEST(diffusion_two_levels_compare_not_round) {
    // The float just below 127.5 rounds to level 1 through quantize, but
    // the two-level comparison puts it at level 0; NaN goes to level 0.
    ColorSpace space = ColorSpace::create(false);
    space.lut[200] = std::nextafterf(127.5f, 0.0f);
    space.lut[201] = 127.5f;
    space.lut[202] = std::numeric_limits<float>::quiet_NaN();
    CHECK(Levels::create(2, space).quantize(space.lut[200]) == 1);
    for (float strength : {0.0f, 1.0f}) {
        const KernelRows rows = kernel_rows(KERNELS[0], strength);
        for (Form form : BOTH) {
            // One pixel each, so that no error reaches another pixel.
            CHECK(levels_run(form, Bytes{200}, 1, 1, 1, 0, space, 2, rows, false) == Bytes{0});
            CHECK(levels_run(form, Bytes{201}, 1, 1, 1, 0, space, 2, rows, true) == Bytes{255});
            CHECK(levels_run(form, Bytes{202}, 1, 1, 1, 0, space, 2, rows, false) == Bytes{0});
        }
    }
    // Without spreading, a NaN value does not disturb its neighbours.
    for (Form form : BOTH) {
        CHECK(levels_run(form, Bytes{202, 200, 201, 202}, 2, 2, 1, 0, space, 2,
                         kernel_rows(KERNELS[0], 0.0f), true) == (Bytes{0, 0, 255, 0}));
    }
}

CORE_TEST(diffusion_error_is_not_clamped) {
    // A value far below 0 maps to level 0 and passes on its whole error:
    // -1000 pushes 7/16 of itself on, so 255 - 437.5 = -182.5 is level 0
    // too, and 255 - 79.84375 = 175.15625 is level 2 (170).
    ColorSpace space = ColorSpace::create(false);
    space.lut[1] = -1000.0f;
    for (Form form : BOTH) {
        CHECK(levels_run(form, Bytes{1, 255, 255, 255}, 1, 4, 1, 0, space, 4,
                         kernel_rows(KERNELS[0], 1.0f), false) == (Bytes{0, 0, 170, 255}));
    }
}

CORE_TEST(diffusion_palette_leaves_extra_channels) {
    std::mt19937 rng(9);
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes image(5 * 6 * 5);
    for (auto& b : image) b = static_cast<std::uint8_t>(byte(rng));
    const ColorSpace space = ColorSpace::create(true);
    const Palette palette = *Palette::create({0, 0, 0, 255, 255, 255, 255, 0, 0}, space);
    for (Form form : BOTH) {
        const Bytes out = palette_run(form, image, 5, 6, 5, space, palette,
                                      kernel_rows(KERNELS[3], 1.0f), true);
        for (std::size_t p = 0; p < image.size(); p += 5) {
            CHECK(out[p + 3] == image[p + 3] && out[p + 4] == image[p + 4]);
        }
    }
    // Two identical colours: every pixel comes out as that colour.
    const Palette same = *Palette::create({255, 255, 255, 255, 255, 255}, space);
    const Bytes white = palette_run(Form::fast, image, 5, 6, 5, space, same,
                                    kernel_rows(KERNELS[0], 1.0f), false);
    for (std::size_t p = 0; p < image.size(); p += 5) {
        CHECK(white[p] == 255 && white[p + 1] == 255 && white[p + 2] == 255);
    }
}

namespace {

// Noise, flat grey, a gradient, or a gradient with noise.
Bytes random_image(std::mt19937& rng, std::size_t size) {
    std::uniform_int_distribution<int> byte(0, 255);
    const int style = std::uniform_int_distribution<int>(0, 3)(rng);
    const int flat = byte(rng);
    Bytes image(size);
    for (std::size_t i = 0; i < size; ++i) {
        const int ramp = static_cast<int>((i * 255) / size);
        int value = byte(rng);
        if (style == 1) value = flat;
        if (style == 2) value = ramp;
        if (style == 3) value = ramp / 2 + byte(rng) / 4;
        image[i] = static_cast<std::uint8_t>(value);
    }
    return image;
}

}  // namespace

CORE_TEST(diffusion_fast_matches_plain_levels) {
    std::mt19937 rng(2024);
    std::uniform_int_distribution<std::size_t> dim(1, 40);
    std::uniform_int_distribution<std::size_t> chan(1, 4);
    std::size_t images = 0;
    std::size_t mismatches = 0;
    for (const Kernel& kernel : KERNELS) {
        for (float strength : {0.0f, 0.3f, 0.75f, 1.0f}) {
            const KernelRows rows = kernel_rows(kernel, strength);
            for (std::uint32_t n : {2u, 3u, 4u, 7u, 256u}) {
                for (int mode = 0; mode < 4; ++mode) {
                    const ColorSpace space = ColorSpace::create((mode & 1) != 0);
                    const bool serpentine = (mode & 2) != 0;
                    for (int rep = 0; rep < 3; ++rep) {
                        const std::size_t h = dim(rng), w = dim(rng), ch = chan(rng);
                        const std::size_t c = rng() % ch;
                        const Bytes image = random_image(rng, h * w * ch);
                        const Bytes fast = levels_run(Form::fast, image, h, w, ch, c, space, n,
                                                      rows, serpentine);
                        const Bytes plain = levels_run(Form::plain, image, h, w, ch, c, space,
                                                       n, rows, serpentine);
                        if (fast != plain) ++mismatches;
                        ++images;
                    }
                }
            }
        }
    }
    CHECK(mismatches == 0);
    CHECK(images == 9 * 4 * 5 * 4 * 3);
    // Larger images accumulate long error chains.
    const ColorSpace linear = ColorSpace::create(true);
    for (const Kernel& kernel : KERNELS) {
        const KernelRows rows = kernel_rows(kernel, 1.0f);
        const Bytes image = random_image(rng, 97 * 203);
        for (std::uint32_t n : {2u, 5u}) {
            CHECK(levels_run(Form::fast, image, 97, 203, 1, 0, linear, n, rows, true) ==
                  levels_run(Form::plain, image, 97, 203, 1, 0, linear, n, rows, true));
        }
    }
}

CORE_TEST(diffusion_fast_matches_plain_palette) {
    std::mt19937 rng(77);
    std::uniform_int_distribution<std::size_t> dim(1, 40);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> coarse(0, 3);
    const std::size_t sizes[] = {2, 3, 5, 8, 16, 17, 40, 100, 256, 300};
    std::size_t images = 0;
    std::size_t mismatches = 0;
    for (const Kernel& kernel : KERNELS) {
        for (float strength : {0.0f, 0.3f, 0.75f, 1.0f}) {
            const KernelRows rows = kernel_rows(kernel, strength);
            for (int mode = 0; mode < 4; ++mode) {
                const ColorSpace space = ColorSpace::create((mode & 1) != 0);
                const bool serpentine = (mode & 2) != 0;
                const std::size_t m = sizes[images % std::size(sizes)];
                // Every other palette comes from a coarse grid, and so does
                // its image: duplicates and ties between colours everywhere.
                const bool grid = ((images / std::size(sizes)) & 1) != 0;
                Bytes colors(3 * m);
                for (auto& c : colors) {
                    c = static_cast<std::uint8_t>(grid ? coarse(rng) * 85 : byte(rng));
                }
                const Palette palette = *Palette::create(std::move(colors), space);
                const std::size_t h = dim(rng), w = dim(rng), ch = 3 + rng() % 2;
                Bytes image = random_image(rng, h * w * ch);
                if (grid) {
                    for (auto& b : image) b = static_cast<std::uint8_t>(coarse(rng) * 85);
                }
                const Bytes fast = palette_run(Form::fast, image, h, w, ch, space, palette, rows,
                                               serpentine);
                const Bytes plain = palette_run(Form::plain, image, h, w, ch, space, palette,
                                                rows, serpentine);
                if (fast != plain) ++mismatches;
                ++images;
            }
        }
    }
    CHECK(mismatches == 0);
    CHECK(images == 9 * 4 * 4);
}

namespace {

Bytes palette_run_with(DiffusionOptions options, Bytes pixels, std::size_t height,
                       std::size_t width, std::size_t channels, const ColorSpace& space,
                       const Palette& palette, const KernelRows& rows, bool serpentine) {
    options.serpentine = serpentine;
    CHECK(palette_pass({pixels.data(), height, width, channels}, space, palette, rows, options) ==
          PassStatus::ok);
    return pixels;
}

// A palette of m colours of one of several kinds: random; four values per
// channel (duplicates and ties); multiples of 8, where the nearest-colour
// grid has cell edges; or dark colours only, so that the error on a bright
// image runs far outside 0..255 and the searches leave their fast paths.
// For the bounded pass, palettes far inside the cube, which clamp most
// values: every colour in 100..150 on each channel (kind 4); three mid
// greys, repeated (5); tight clusters around three centres (6).
Bytes palette_colors(std::mt19937& rng, std::size_t m, int kind) {
    std::uniform_int_distribution<int> byte(0, 255);
    int centres[3][3] = {};
    if (kind == 6) {
        for (auto& centre : centres) {
            for (int& c : centre) c = byte(rng);
        }
    }
    Bytes colors(3 * m);
    for (std::size_t i = 0; i < colors.size(); ++i) {
        int v = byte(rng);
        if (kind == 1) v = (v % 4) * 85;
        if (kind == 2) v = std::min(255, (v % 33) * 8);
        if (kind == 3) v = v % 40;
        if (kind == 4) v = 100 + v % 51;
        if (kind == 5) v = 96 + 32 * static_cast<int>((i / 3) % 3);
        if (kind == 6) v = std::clamp(centres[(i / 3) % 3][i % 3] + v % 9 - 4, 0, 255);
        colors[i] = static_cast<std::uint8_t>(v);
    }
    return colors;
}

const PaletteSearch SEARCHES[] = {PaletteSearch::automatic, PaletteSearch::full_scan,
                                  PaletteSearch::grid};

// The instruction sets of the rows-in-flight forms this processor runs:
// 128-bit vectors everywhere, AVX2 where it runs (forcing one it lacks
// would repeat the automatic choice).
std::vector<Isa> row_forms() {
    std::vector<Isa> isas;
    for (Isa isa : ALL_ISAS) {
        if (palette_rows_forms().runs(isa)) isas.push_back(isa);
    }
    return isas;
}

}  // namespace

CORE_TEST(diffusion_palette_choices_match_plain) {
    // Every form, search and number of rows in flight against the plain
    // form, on widths around the pass's chunk (16) and lag (20) and heights
    // that leave partial groups of rows.
    std::mt19937 rng(31337);
    const std::size_t sizes[] = {2,  3,  4,  7,  8,   9,   12,  16,   17,   20,  24,
                                 25, 32, 33, 48, 64, 100, 256, 700, 1025, 4096};
    const std::size_t widths[] = {1,  2,  3,  4,  5,  15, 16, 17, 19, 20, 21,
                                  23, 24, 36, 37, 40, 41, 57, 60, 100, 203};
    std::uniform_int_distribution<std::size_t> tall(1, 45);
    const std::vector<Isa> forms = row_forms();
    std::size_t compared = 0;
    std::size_t mismatches = 0;
    for (int round = 0; round < 260; ++round) {
        const Kernel& kernel = KERNELS[static_cast<std::size_t>(round) % KERNELS.size()];
        const float strength = round % 7 == 0 ? 0.3f : round % 11 == 0 ? 0.0f : 1.0f;
        const KernelRows rows = kernel_rows(kernel, strength);
        const ColorSpace space = ColorSpace::create(round % 3 == 0);
        const bool serpentine = round % 4 == 1;
        const std::size_t m = sizes[rng() % std::size(sizes)];
        const Palette palette =
            *Palette::create(palette_colors(rng, m, static_cast<int>(rng() % 4)), space);
        const std::size_t w = widths[rng() % std::size(widths)];
        const std::size_t h = m >= 1000 || round % 3 == 2 ? tall(rng) / 5 + 1 : tall(rng);
        const std::size_t ch = 3 + rng() % 2;
        const Bytes image = random_image(rng, h * w * ch);
        const Bytes plain = palette_run(Form::plain, image, h, w, ch, space, palette, rows,
                                        serpentine);
        const DiffusionOptions baseline{.form = PaletteForm::single_row};
        if (palette_run_with(baseline, image, h, w, ch, space, palette, rows, serpentine) !=
            plain) {
            ++mismatches;
        }
        for (Isa isa : forms) {
            for (PaletteSearch search : SEARCHES) {
                for (std::size_t in_flight : {0u, 1u, 2u, 3u, 4u, 9u}) {
                    const DiffusionOptions options{.form = PaletteForm::rows,
                                                   .isa = isa,
                                                   .search = search,
                                                   .rows_in_flight = in_flight};
                    if (palette_run_with(options, image, h, w, ch, space, palette, rows,
                                         serpentine) != plain) {
                        ++mismatches;
                    }
                    ++compared;
                }
            }
        }
    }
    CHECK(mismatches == 0);
    CHECK(compared == 260 * 3 * 6 * forms.size());
}

CORE_TEST(diffusion_palette_large_images_match_plain) {
    // Long rows and many groups of rows in flight, for the palette sizes
    // that take each search by default.
    std::mt19937 rng(8);
    const KernelRows rows = kernel_rows(KERNELS[0], 1.0f);
    const KernelRows jjn = kernel_rows(*parse_method("jjn"), 1.0f);
    const ColorSpace space = ColorSpace::create(false);
    for (std::size_t m : {5u, 16u, 30u, 256u, 4096u}) {
        for (int kind = 0; kind < 4; ++kind) {
            const Palette palette = *Palette::create(palette_colors(rng, m, kind), space);
            const std::size_t h = m == 4096 ? 23 : 61, w = 333;
            const Bytes image = random_image(rng, h * w * 3);
            const KernelRows& r = kind % 2 == 0 ? rows : jjn;
            const Bytes plain = palette_run(Form::plain, image, h, w, 3, space, palette, r, false);
            for (Isa isa : row_forms()) {
                for (std::size_t in_flight : {0u, 2u, 3u}) {
                    const DiffusionOptions options{.form = PaletteForm::rows,
                                                   .isa = isa,
                                                   .rows_in_flight = in_flight};
                    CHECK(palette_run_with(options, image, h, w, 3, space, palette, r, false) ==
                          plain);
                }
            }
        }
    }
}

CORE_TEST(diffusion_unusual_windows_take_the_plain_form) {
    // Strengths outside 0..1 are rejected before any pass runs; should such
    // windows arrive anyway, the result is still the plain form's.
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes image(13 * 11 * 3);
    for (auto& b : image) b = static_cast<std::uint8_t>(byte(rng));
    const ColorSpace space = ColorSpace::create(false);
    const Palette palette = *Palette::create({0, 0, 0, 255, 255, 255, 0, 0, 255}, space);
    for (float strength : {std::numeric_limits<float>::quiet_NaN(), 2.0f, 1e30f, -1.0f}) {
        const KernelRows rows = kernel_rows(KERNELS[2], strength);
        CHECK(levels_run(Form::fast, image, 13, 11, 3, 2, space, 3, rows, true) ==
              levels_run(Form::plain, image, 13, 11, 3, 2, space, 3, rows, true));
        CHECK(palette_run(Form::fast, image, 13, 11, 3, space, palette, rows, false) ==
              palette_run(Form::plain, image, 13, 11, 3, space, palette, rows, false));
    }
}

CORE_TEST(diffusion_reports_impossible_sizes) {
    // The error rows of such a width cannot exist; the pass says so and
    // never touches the pixels.
    std::uint8_t dummy = 7;
    const std::size_t huge = std::numeric_limits<std::size_t>::max() - 3;
    const ColorSpace space = ColorSpace::create(false);
    const Levels levels = Levels::create(2, space);
    const Palette palette = *Palette::create({0, 0, 0, 255, 255, 255}, space);
    const KernelRows rows = kernel_rows(KERNELS[0], 1.0f);
    const PassStatus none = PassStatus::out_of_memory;
    CHECK(levels_pass({&dummy, 1, huge, 1}, 0, space, levels, rows, false) == none);
    CHECK(levels_pass_plain({&dummy, 1, huge, 1}, 0, space, levels, rows, false) == none);
    CHECK(palette_pass({&dummy, 1, huge / 8, 3}, space, palette, rows, {false}) == none);
    CHECK(palette_pass_plain({&dummy, 1, huge / 8, 3}, space, palette, rows, {false}) == none);
    CHECK(dummy == 7);
    CHECK(levels_pass({&dummy, 0, 5, 1}, 0, space, levels, rows, false) == PassStatus::ok);
}

// ----------------------------------------------------------- bounded pass

namespace {

std::uint32_t bits_of(float x) { return std::bit_cast<std::uint32_t>(x); }

}  // namespace

CORE_TEST(diffusion_bound_is_the_same_in_every_lane) {
    // The scalar clamp and the vector one give the same bits, for zeros of
    // either sign, NaN and the infinities too.
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float values[] = {0.0f,    -0.0f,   255.0f, 254.99998f, 255.00002f,
                            -1e-45f, 1e-45f,  -1.0f,  300.5f,     127.5f,
                            inf,     -inf,    nan,    -nan,       -3e38f,
                            3e38f,   100.25f, -0.5f};
    for (float a : values) {
        for (float b : values) {
            const float want[2] = {bound_to_working_range(a), bound_to_working_range(b)};
            const simd::F32x4 got = bound_to_working_range(simd::lanes(a, b, a, b));
            float lane[4];
            simd::store4(lane, got);
            for (std::size_t i = 0; i < 4; ++i) CHECK(bits_of(lane[i]) == bits_of(want[i % 2]));
        }
    }
    CHECK(bound_to_working_range(-7.0f) == 0.0f);
    CHECK(bound_to_working_range(1000.0f) == 255.0f);
    CHECK(bound_to_working_range(12.5f) == 12.5f);
    CHECK(bits_of(bound_to_working_range(255.00002f)) == bits_of(255.0f));
    CHECK(bits_of(bound_to_working_range(254.99998f)) == bits_of(254.99998f));
    // Whatever comes in lies in 0..255 after: -0.0 and NaN become +0.
    CHECK(bits_of(bound_to_working_range(-0.0f)) == bits_of(0.0f));
    CHECK(bits_of(bound_to_working_range(-1e-45f)) == bits_of(0.0f));
    CHECK(bits_of(bound_to_working_range(nan)) == bits_of(0.0f));
    CHECK(bits_of(bound_to_working_range(-nan)) == bits_of(0.0f));
    CHECK(bound_to_working_range(inf) == 255.0f && bound_to_working_range(-inf) == 0.0f);
}

CORE_TEST(diffusion_bounded_palette_worked_example) {
    // One row, floyd_steinberg (7/16 to the next pixel), sRGB; every
    // colour's blue is 0, so red picks from {0, 200} and green from
    // {55, 255} on their own. Pixel 0, (255, 0): (200, 55), error (55, -55),
    // 7/16 of which is (24.0625, -24.0625). Pixel 1, (279.0625, -24.0625):
    // (200, 55) again. Unbounded, its error is (79.0625, -79.0625) and
    // pixel 2 is (70, 185) + (34.58984375, -34.58984375) =
    // (104.58984375, 150.41015625): nearer 200 than 0 and 55 than 255.
    // Bounded, pixel 1 is clamped to (255, 0), its error stays (55, -55),
    // and pixel 2 is (94.0625, 160.9375): nearer 0 and 255.
    const ColorSpace space = ColorSpace::create(false);
    const Palette palette =
        *Palette::create({0, 55, 0, 0, 255, 0, 200, 55, 0, 200, 255, 0}, space);
    const KernelRows rows = kernel_rows(KERNELS[0], 1.0f);
    const Bytes image{255, 0, 0, 255, 0, 0, 70, 185, 0};
    const Bytes unbounded{200, 55, 0, 200, 55, 0, 200, 55, 0};
    const Bytes bounded{200, 55, 0, 200, 55, 0, 0, 255, 0};
    for (bool bound : {false, true}) {
        const Bytes& want = bound ? bounded : unbounded;
        Bytes plain = image;
        CHECK(palette_pass_plain({plain.data(), 1, 3, 3}, space, palette, rows, {false, bound}) ==
              PassStatus::ok);
        CHECK(plain == want);
        Bytes fast = image;
        CHECK(palette_pass({fast.data(), 1, 3, 3}, space, palette, rows, {false, bound}) ==
              PassStatus::ok);
        CHECK(fast == want);
        for (const auto& [form, isa] : {std::pair{PaletteForm::single_row, Isa::portable},
                                        std::pair{PaletteForm::rows, Isa::vec128},
                                        std::pair{PaletteForm::rows, Isa::avx2}}) {
            DiffusionOptions options{.form = form, .isa = isa};
            options.bounded = bound;
            CHECK(palette_run_with(options, image, 1, 3, 3, space, palette, rows, false) == want);
        }
    }
    // The default is unbounded.
    Bytes fast = image;
    CHECK(palette_pass({fast.data(), 1, 3, 3}, space, palette, rows, {false}) == PassStatus::ok);
    CHECK(fast == unbounded);
}

CORE_TEST(diffusion_bounded_palette_choices_match_plain) {
    // Every bounded form, search and number of rows in flight against the
    // bounded plain form, as for the unbounded pass, on every kind of
    // palette, most of all those far inside the cube, where nearly every
    // value is clamped.
    std::mt19937 rng(4242);
    const std::size_t sizes[] = {2,  3,  4,  5,  8,  9,   16,  17,  24,  32,
                                 33, 48, 64, 65, 100, 256, 300, 700, 1025, 4096};
    const std::size_t widths[] = {1, 2, 3, 5, 15, 16, 17, 20, 21, 24, 37, 41, 60, 100, 203};
    const float strengths[] = {1.0f, 0.75f, 0.3f, 1.0f, 0.0f};
    std::uniform_int_distribution<std::size_t> tall(1, 40);
    const std::vector<Isa> forms = row_forms();
    std::size_t compared = 0;
    std::size_t mismatches = 0;
    std::size_t differing = 0;  // bounded bytes other than the unbounded ones
    for (int round = 0; round < 240; ++round) {
        const Kernel& kernel = KERNELS[static_cast<std::size_t>(round) % KERNELS.size()];
        const float strength = strengths[static_cast<std::size_t>(round / 9) % 5];
        const KernelRows rows = kernel_rows(kernel, strength);
        const ColorSpace space = ColorSpace::create(round % 3 == 0);
        const bool serpentine = round % 4 == 1;
        const std::size_t m = sizes[rng() % std::size(sizes)];
        // Half the palettes far inside the cube.
        const int kind = round % 2 == 0 ? 4 + static_cast<int>(rng() % 3)
                                        : static_cast<int>(rng() % 4);
        const Palette palette = *Palette::create(palette_colors(rng, m, kind), space);
        const std::size_t w = widths[rng() % std::size(widths)];
        const std::size_t h = m >= 1000 || round % 3 == 2 ? tall(rng) / 5 + 1 : tall(rng);
        const std::size_t ch = 3 + rng() % 2;
        const Bytes image = random_image(rng, h * w * ch);
        Bytes plain = image;
        CHECK(palette_pass_plain({plain.data(), h, w, ch}, space, palette, rows,
                                 {serpentine, true}) == PassStatus::ok);
        for (std::size_t p = 3; p < image.size(); p += ch) {
            // Channels from 3 up are left alone, bounded or not.
            for (std::size_t k = 3; k < ch; ++k) {
                if (plain[p - 3 + k] != image[p - 3 + k]) ++mismatches;
            }
        }
        if (palette_run(Form::plain, image, h, w, ch, space, palette, rows, serpentine) != plain) {
            ++differing;
        }
        Bytes automatic = image;
        CHECK(palette_pass({automatic.data(), h, w, ch}, space, palette, rows,
                           {serpentine, true}) ==
              PassStatus::ok);
        if (automatic != plain) ++mismatches;
        DiffusionOptions baseline{.form = PaletteForm::single_row};
        baseline.bounded = true;
        if (palette_run_with(baseline, image, h, w, ch, space, palette, rows, serpentine) !=
            plain) {
            ++mismatches;
        }
        for (Isa isa : forms) {
            for (PaletteSearch search : SEARCHES) {
                for (std::size_t in_flight : {0u, 1u, 2u, 3u, 4u}) {
                    DiffusionOptions options{.form = PaletteForm::rows,
                                             .isa = isa,
                                             .search = search,
                                             .rows_in_flight = in_flight};
                    options.bounded = true;
                    if (palette_run_with(options, image, h, w, ch, space, palette, rows,
                                         serpentine) != plain) {
                        ++mismatches;
                    }
                    ++compared;
                }
            }
        }
    }
    CHECK(mismatches == 0);
    CHECK(compared == 240 * 3 * 5 * forms.size());
    // The bound is not idle: on palettes inside the cube it changes the
    // bytes of most images.
    CHECK(differing > 60);
}

CORE_TEST(diffusion_bounded_palette_large_images_match_plain) {
    // Long rows and many groups of rows in flight, bounded, for palette
    // sizes that take each search by default and palettes that clamp
    // most values; serpentine and linear too.
    std::mt19937 rng(12);
    const ColorSpace srgb = ColorSpace::create(false);
    const ColorSpace linear = ColorSpace::create(true);
    const KernelRows fs = kernel_rows(KERNELS[0], 1.0f);
    const KernelRows jjn = kernel_rows(*parse_method("jjn"), 1.0f);
    const KernelRows stucki = kernel_rows(*parse_method("stucki"), 0.8f);
    for (std::size_t m : {4u, 16u, 48u, 256u, 4096u}) {
        for (int kind : {0, 3, 4, 5, 6}) {
            const ColorSpace& space = kind % 2 == 0 ? srgb : linear;
            const Palette palette = *Palette::create(palette_colors(rng, m, kind), space);
            const std::size_t h = m == 4096 ? 19 : 53, w = 301;
            const Bytes image = random_image(rng, h * w * 3);
            const KernelRows& r = kind == 0 ? fs : kind == 4 ? jjn : stucki;
            for (bool serpentine : {false, true}) {
                Bytes plain = image;
                CHECK(palette_pass_plain({plain.data(), h, w, 3}, space, palette, r,
                                         {serpentine, true}) == PassStatus::ok);
                Bytes single = image;
                CHECK(palette_pass({single.data(), h, w, 3}, space, palette, r,
                                   {serpentine, true}) ==
                      PassStatus::ok);
                CHECK(single == plain);
                for (Isa isa : row_forms()) {
                    for (PaletteSearch search : SEARCHES) {
                        for (std::size_t in_flight : {0u, 2u, 3u}) {
                            DiffusionOptions options{.form = PaletteForm::rows,
                                                     .isa = isa,
                                                     .search = search,
                                                     .rows_in_flight = in_flight};
                            options.bounded = true;
                            CHECK(palette_run_with(options, image, h, w, 3, space, palette, r,
                                                   serpentine) == plain);
                        }
                    }
                }
                DiffusionOptions one_row{.form = PaletteForm::single_row};
                one_row.bounded = true;
                CHECK(palette_run_with(one_row, image, h, w, 3, space, palette, r, serpentine) ==
                      plain);
            }
        }
    }
}

CORE_TEST(diffusion_bounded_palette_unusual_windows_and_sizes) {
    // Windows the fast forms do not take run the bounded plain form; at
    // strength 0 nothing is carried, every value is a table entry inside
    // the range, and bounded equals unbounded.
    std::mt19937 rng(5);
    const ColorSpace space = ColorSpace::create(false);
    const Palette palette = *Palette::create(palette_colors(rng, 7, 4), space);
    const Bytes image = random_image(rng, 13 * 11 * 3);
    for (float strength : {std::numeric_limits<float>::quiet_NaN(), 2.0f, -1.0f, 0.0f}) {
        const KernelRows rows = kernel_rows(KERNELS[2], strength);
        Bytes plain = image;
        CHECK(palette_pass_plain({plain.data(), 13, 11, 3}, space, palette, rows, {true, true}) ==
              PassStatus::ok);
        Bytes fast = image;
        CHECK(palette_pass({fast.data(), 13, 11, 3}, space, palette, rows, {true, true}) ==
              PassStatus::ok);
        CHECK(fast == plain);
        if (strength == 0.0f) {
            CHECK(plain == palette_run(Form::plain, image, 13, 11, 3, space, palette, rows, true));
        }
    }
    // Table entries no ColorSpace makes: the bound turns NaN into 0 and the
    // infinities into 0 and 255, so every bounded form still searches
    // inside the cube (the grid's innermost) and they all agree.
    ColorSpace odd = ColorSpace::create(false);
    odd.lut[0] = std::numeric_limits<float>::quiet_NaN();
    odd.lut[1] = std::numeric_limits<float>::infinity();
    odd.lut[2] = -std::numeric_limits<float>::infinity();
    odd.lut[3] = -0.0f;
    odd.lut[4] = -1e30f;
    odd.lut[5] = 1e30f;
    std::uniform_int_distribution<int> low(0, 7);
    for (std::size_t m : {6u, 40u, 300u}) {
        Bytes colors = palette_colors(rng, m, 0);
        for (auto& c : colors) c = static_cast<std::uint8_t>(std::max<int>(c, 6));
        const Palette safe = *Palette::create(std::move(colors), odd);
        Bytes speckled = random_image(rng, 17 * 45 * 3);
        for (auto& b : speckled) {
            if (rng() % 3 == 0) b = static_cast<std::uint8_t>(low(rng));
        }
        const KernelRows rows = kernel_rows(KERNELS[0], 1.0f);
        for (bool serpentine : {false, true}) {
            Bytes plain = speckled;
            CHECK(palette_pass_plain({plain.data(), 17, 45, 3}, odd, safe, rows,
                                     {serpentine, true}) == PassStatus::ok);
            DiffusionOptions one_row{.form = PaletteForm::single_row};
            one_row.bounded = true;
            CHECK(palette_run_with(one_row, speckled, 17, 45, 3, odd, safe, rows, serpentine) ==
                  plain);
            for (Isa isa : row_forms()) {
                for (PaletteSearch search : SEARCHES) {
                    DiffusionOptions options{.form = PaletteForm::rows,
                                             .isa = isa,
                                             .search = search,
                                             .rows_in_flight = 0};
                    options.bounded = true;
                    CHECK(palette_run_with(options, speckled, 17, 45, 3, odd, safe, rows,
                                           serpentine) == plain);
                }
            }
        }
    }
    std::uint8_t dummy = 7;
    const std::size_t huge = std::numeric_limits<std::size_t>::max() - 3;
    const KernelRows rows = kernel_rows(KERNELS[0], 1.0f);
    CHECK(palette_pass({&dummy, 1, huge / 8, 3}, space, palette, rows, {false, true}) ==
          PassStatus::out_of_memory);
    CHECK(palette_pass_plain({&dummy, 1, huge / 8, 3}, space, palette, rows, {false, true}) ==
          PassStatus::out_of_memory);
    CHECK(dummy == 7);
}
