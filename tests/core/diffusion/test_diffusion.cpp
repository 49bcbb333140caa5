// Error-diffusion passes: worked examples, and the fast forms against the
// plain window-by-window forms on many random images.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "core/color/color_space.hpp"
#include "core/color/levels.hpp"
#include "core/color/palette.hpp"
#include "core/diffusion/error_diffusion.hpp"
#include "core/diffusion/kernels.hpp"
#include "core/diffusion/method_names.hpp"
#include "core/diffusion/plain_pass.hpp"

using namespace dithering;

namespace {

using Bytes = std::vector<std::uint8_t>;

enum class Form { fast, plain };

Bytes levels_run(Form form, Bytes pixels, std::size_t height, std::size_t width,
                 std::size_t channels, std::size_t channel, const ColorSpace& space,
                 std::uint32_t n, const KernelRows& rows, bool serpentine) {
    const Levels levels = Levels::create(n, space);
    const PassStatus status =
        form == Form::fast
            ? levels_pass(pixels.data(), height, width, channels, channel, space, levels, rows,
                          serpentine)
            : levels_pass_plain(pixels.data(), height, width, channels, channel, space, levels,
                                rows, serpentine);
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
    const PassStatus status =
        form == Form::fast
            ? palette_pass(pixels.data(), height, width, channels, space, palette, rows,
                           serpentine)
            : palette_pass_plain(pixels.data(), height, width, channels, space, palette, rows,
                                 serpentine);
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

Bytes palette_run_with(const PalettePassOptions& options, Bytes pixels, std::size_t height,
                       std::size_t width, std::size_t channels, const ColorSpace& space,
                       const Palette& palette, const KernelRows& rows, bool serpentine) {
    CHECK(palette_pass_with(options, pixels.data(), height, width, channels, space, palette, rows,
                            serpentine) == PassStatus::ok);
    return pixels;
}

// A palette of m colours of one of several kinds: random; four values per
// channel (duplicates and ties); multiples of 8, where the nearest-colour
// grid has cell edges; or dark colours only, so that the error on a bright
// image runs far outside 0..255 and the searches leave their fast paths.
Bytes palette_colors(std::mt19937& rng, std::size_t m, int kind) {
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes colors(3 * m);
    for (auto& c : colors) {
        int v = byte(rng);
        if (kind == 1) v = (v % 4) * 85;
        if (kind == 2) v = std::min(255, (v % 33) * 8);
        if (kind == 3) v = v % 40;
        c = static_cast<std::uint8_t>(v);
    }
    return colors;
}

const PaletteSearch SEARCHES[] = {PaletteSearch::automatic, PaletteSearch::full_scan,
                                  PaletteSearch::grid};

// Both rows-in-flight forms: the 128-bit one on every processor, AVX2
// where it runs (elsewhere it would repeat the automatic choice).
std::vector<PaletteForm> row_forms() {
    std::vector<PaletteForm> forms{PaletteForm::rows_vec128};
    if (nearest_path_supported(NearestPath::avx2)) forms.push_back(PaletteForm::rows_avx2);
    return forms;
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
    const std::vector<PaletteForm> forms = row_forms();
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
        const PalettePassOptions baseline{PaletteForm::single_row, PaletteSearch::automatic, 0};
        if (palette_run_with(baseline, image, h, w, ch, space, palette, rows, serpentine) !=
            plain) {
            ++mismatches;
        }
        for (PaletteForm form : forms) {
            for (PaletteSearch search : SEARCHES) {
                for (std::size_t in_flight : {0u, 1u, 2u, 3u, 4u, 9u}) {
                    const PalettePassOptions options{form, search, in_flight};
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
            for (PaletteForm form : row_forms()) {
                for (std::size_t in_flight : {0u, 2u, 3u}) {
                    CHECK(palette_run_with({form, PaletteSearch::automatic, in_flight}, image, h,
                                           w, 3, space, palette, r, false) == plain);
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
    CHECK(levels_pass(&dummy, 1, huge, 1, 0, space, levels, rows, false) == none);
    CHECK(levels_pass_plain(&dummy, 1, huge, 1, 0, space, levels, rows, false) == none);
    CHECK(palette_pass(&dummy, 1, huge / 8, 3, space, palette, rows, false) == none);
    CHECK(palette_pass_plain(&dummy, 1, huge / 8, 3, space, palette, rows, false) == none);
    CHECK(dummy == 7);
    CHECK(levels_pass(&dummy, 0, 5, 1, 0, space, levels, rows, false) == PassStatus::ok);
}
