// Throughput of the error-diffusion passes, without Python: prints Mpx/s.
// An argument N divides every side by N (for runs under an emulator), a
// second runs only the cases whose label holds it; --isa=NAME (or
// DITHERING_CORE_ISA) caps the instruction sets the passes pick from.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "core/color/color_space.hpp"
#include "core/color/levels.hpp"
#include "core/color/palette.hpp"
#include "core/diffusion/error_diffusion.hpp"
#include "core/diffusion/kernels.hpp"
#include "core/diffusion/levels_wavefront.hpp"
#include "core/diffusion/method_names.hpp"
#include "core/diffusion/palette_rows.hpp"
#include "core/diffusion/plain_pass.hpp"
#include "core/diffusion/register_scan.hpp"
#include "core/simd/isa.hpp"
#include "core/threshold/threshold_dither.hpp"
#include "core/threshold/threshold_matrix.hpp"
#include "isa_limit.hpp"

using namespace dithering;

namespace {

// A horizontal gradient with mild noise, like a photograph's smooth areas.
std::vector<std::uint8_t> test_image(std::size_t height, std::size_t width, std::size_t channels) {
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> noise(-12, 12);
    std::vector<std::uint8_t> image(height * width * channels);
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            for (std::size_t c = 0; c < channels; ++c) {
                const int base = static_cast<int>((x * 255) / width + c * 40 + y % 7) % 256;
                const int v = base + noise(rng);
                image[(y * width + x) * channels + c] =
                    static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        }
    }
    return image;
}

std::size_t shrink = 1;
// Only the cases whose label holds this text, when given.
const char* only = nullptr;

// Runs pass(pixels, height, width) on a test image of the given size (each
// side divided by `shrink`).
template <typename Pass>
void measure(const char* label, std::size_t height, std::size_t width, std::size_t channels,
             Pass pass) {
    if (only != nullptr && std::strstr(label, only) == nullptr) return;
    height = std::max<std::size_t>(1, height / shrink);
    width = std::max<std::size_t>(1, width / shrink);
    const std::vector<std::uint8_t> source = test_image(height, width, channels);
    double best = 1e30;
    for (int run = 0; run < 7; ++run) {
        std::vector<std::uint8_t> pixels = source;
        const auto start = std::chrono::steady_clock::now();
        pass(pixels.data(), height, width);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (took.count() < best) best = took.count();
    }
    const double mpx = static_cast<double>(height * width) / best / 1e6;
    std::printf("%-36s %5zux%-5zu %8.1f Mpx/s\n", label, height, width, mpx);
}

void bench_levels(const char* label, const char* method, bool plain = false) {
    const ColorSpace space = ColorSpace::create(false);
    const Levels levels = Levels::create(2, space);
    const KernelRows rows = kernel_rows(*parse_method(method), 1.0f);
    const std::size_t side = plain ? 2048 : 4096;
    measure(label, side, side, 1, [&](std::uint8_t* px, std::size_t h, std::size_t w) {
        if (plain) {
            levels_pass_plain({px, h, w, 1}, 0, space, levels, rows, false);
        } else {
            levels_pass({px, h, w, 1}, 0, space, levels, rows, false);
        }
    });
}

// The levels pass on each of its forms, for the choice between them: the
// single-row scan and the wavefront on every path this processor has.
void bench_levels_forms(const char* method, std::uint32_t count) {
    const ColorSpace space = ColorSpace::create(false);
    const Levels levels = Levels::create(count, space);
    const KernelRows rows = kernel_rows(*parse_method(method), 1.0f);
    char label[64];
    std::snprintf(label, sizeof label, "  %s, %u levels, single-row scan", method, count);
    measure(label, 4096, 4096, 1, [&](std::uint8_t* px, std::size_t h, std::size_t w) {
        levels_pass_register_scan({px, h, w, 1}, 0, space, levels, rows, false);
    });
    for (Isa isa : ALL_ISAS) {
        if (!levels_wavefront_forms().runs(isa)) continue;
        std::snprintf(label, sizeof label, "  %s, %u levels, wavefront %s", method, count,
                      isa == Isa::vec128 ? "128-bit" : isa_name(isa));
        measure(label, 4096, 4096, 1, [&](std::uint8_t* px, std::size_t h, std::size_t w) {
            levels_pass_wavefront(isa, {px, h, w, 1}, 0, space, levels, rows);
        });
    }
}

// Random colours over the whole cube, or with `inner` only in 64..191 on
// each channel, a palette that leaves the picture's extremes outside, so
// that its error runs far unless bounded.
void bench_palette(const char* label, std::size_t colors, std::size_t side,
                   DiffusionOptions options = {}, bool inner = false) {
    const ColorSpace space = ColorSpace::create(false);
    std::mt19937 rng(2);
    std::uniform_int_distribution<int> byte(inner ? 64 : 0, inner ? 191 : 255);
    std::vector<std::uint8_t> list(3 * colors);
    for (auto& c : list) c = static_cast<std::uint8_t>(byte(rng));
    const Palette palette = *Palette::create(std::move(list), space);
    const KernelRows rows = kernel_rows(KERNELS[0], 1.0f);
    measure(label, side, side, 3, [&](std::uint8_t* px, std::size_t h, std::size_t w) {
        palette_pass({px, h, w, 3}, space, palette, rows, options);
    });
}

// Ordered and random dither to a palette on each vector form, on pixels of
// three and four bytes.
void bench_threshold_palettes() {
    const ColorSpace space = ColorSpace::create(false);
    const ThresholdMatrix matrix = ThresholdMatrix::bayer(8);
    for (std::size_t colors : {8u, 16u, 48u, 256u}) {
        std::mt19937 rng(3);
        std::uniform_int_distribution<int> byte(0, 255);
        std::vector<std::uint8_t> list(3 * colors);
        for (auto& c : list) c = static_cast<std::uint8_t>(byte(rng));
        const Palette palette = *Palette::create(std::move(list), space);
        for (std::size_t channels : {3u, 4u}) {
            for (Isa isa : ALL_ISAS) {
                if (isa == Isa::portable || !isa_available(isa)) continue;
                const char* form = isa == Isa::vec128 ? "128-bit" : isa_name(isa);
                char label[64];
                std::snprintf(label, sizeof label, "  ordered, %zu colours, %zu bytes, %s", colors,
                              channels, form);
                measure(label, 1024, 1024, channels,
                        [&](std::uint8_t* px, std::size_t h, std::size_t w) {
                            ordered_palette_on(ThresholdAlgorithm::fast, isa,
                                               {px, h, w, channels}, space, palette, 1.0f, matrix);
                        });
                std::snprintf(label, sizeof label, "  random, %zu colours, %zu bytes, %s", colors,
                              channels, form);
                measure(label, 1024, 1024, channels,
                        [&](std::uint8_t* px, std::size_t h, std::size_t w) {
                            random_palette_on(ThresholdAlgorithm::fast, isa, {px, h, w, channels},
                                              space, palette, 1.0f, 7);
                        });
            }
        }
    }
}

// Random dither to levels on each vector form: one channel of 2 and 4
// levels (drawn and quantized in one pass; in linear light the bytes'
// working values are gathered), of 8 levels and three channels of 2 (the
// draws a block at a time, then the quantizer).
void bench_random_levels() {
    struct Shape {
        std::size_t channels, levels, side;
        bool linear;
    };
    for (const Shape shape : {Shape{1, 2, 4096, false}, Shape{1, 2, 4096, true},
                              Shape{1, 4, 4096, false}, Shape{1, 8, 4096, false},
                              Shape{3, 2, 2048, false}}) {
        const ColorSpace space = ColorSpace::create(shape.linear);
        const Levels levels = Levels::create(static_cast<std::uint32_t>(shape.levels), space);
        for (Isa isa : ALL_ISAS) {
            if (isa == Isa::portable || !isa_available(isa)) continue;
            char label[80];
            std::snprintf(label, sizeof label, "  random, %zu channel%s, %zu levels%s, %s",
                          shape.channels, shape.channels == 1 ? "" : "s", shape.levels,
                          shape.linear ? ", linear" : "",
                          isa == Isa::vec128 ? "128-bit" : isa_name(isa));
            measure(label, shape.side, shape.side, shape.channels,
                    [&](std::uint8_t* px, std::size_t h, std::size_t w) {
                        random_levels_on(ThresholdAlgorithm::fast, isa, {px, h, w, shape.channels},
                                         space, levels, 1.0f, 7);
                    });
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (!core_tests::apply_isa_limit(argc, argv)) return 2;
    std::printf("instruction sets up to %s\n", isa_name(widest_isa()));
    if (argc > 1) shrink = std::max<std::size_t>(1, std::strtoul(argv[1], nullptr, 10));
    if (argc > 2) only = argv[2];
    bench_levels("floyd_steinberg, 2 levels", "fs");
    bench_levels("jarvis_judice_ninke, 2 levels", "jjn");
    bench_levels("atkinson, 2 levels", "atkinson");
    {
        const ColorSpace space = ColorSpace::create(true);
        const Levels levels = Levels::create(4, space);
        const KernelRows rows = kernel_rows(KERNELS[0], 1.0f);
        measure("floyd_steinberg, 4 levels, linear", 4096, 4096, 1,
                [&](std::uint8_t* px, std::size_t h, std::size_t w) {
                    levels_pass({px, h, w, 1}, 0, space, levels, rows, false);
                });
    }
    {
        const ColorSpace space = ColorSpace::create(false);
        const Levels levels = Levels::create(2, space);
        const KernelRows rows = kernel_rows(KERNELS[0], 1.0f);
        measure("floyd_steinberg, RGB, 2 levels", 2048, 2048, 3,
                [&](std::uint8_t* px, std::size_t h, std::size_t w) {
                    levels_pass_channels({px, h, w, 3, std::nullopt}, space, levels, rows, false);
                });
        measure("floyd_steinberg, serpentine, 2 levels", 4096, 4096, 1,
                [&](std::uint8_t* px, std::size_t h, std::size_t w) {
                    levels_pass({px, h, w, 1}, 0, space, levels, rows, true);
                });
    }
    bench_levels("floyd_steinberg, 2 levels (plain form)", "fs", true);
    // The choices behind the levels pass, side by side.
    bench_levels_forms("fs", 2);
    bench_levels_forms("fs", 4);
    bench_levels_forms("jjn", 2);
    // The wavefront's forms on every tap set (the AVX-512 rule).
    for (const char* method : {"floydsteinberg", "falsefloydsteinberg", "sierralite", "atkinson",
                               "burkes", "sierra", "sierra2", "stucki"}) {
        bench_levels_forms(method, 2);
    }
    bench_random_levels();
    bench_palette("floyd_steinberg, palette of 16", 16, 2048);
    bench_palette("floyd_steinberg, palette of 256", 256, 1024);
    bench_palette("floyd_steinberg, palette of 4096", 4096, 1024);
    // The choices behind the palette pass, side by side.
    const DiffusionOptions single_row{.form = PaletteForm::single_row};
    bench_palette("  16, one row, single-row form", 16, 2048, single_row);
    bench_palette("  16, one row at a time", 16, 2048,
                  {.search = PaletteSearch::automatic, .rows_in_flight = 1});
    bench_palette("  256, one row, single-row form (grid)", 256, 1024, single_row);
    bench_palette("  256, full scan, rows in flight", 256, 1024,
                  {.search = PaletteSearch::full_scan});
    bench_palette("  256, grid, one row at a time", 256, 1024,
                  {.search = PaletteSearch::grid, .rows_in_flight = 1});
    // The single-row form against rows in flight over 128-bit vectors, the
    // forms without AVX2 (aarch64, older x86).
    const DiffusionOptions vec128{.form = PaletteForm::rows, .isa = Isa::vec128};
    bench_palette("  4, one row, single-row form", 4, 2048, single_row);
    bench_palette("  4, rows in flight, 128-bit", 4, 2048, vec128);
    bench_palette("  16, rows in flight, 128-bit", 16, 2048, vec128);
    bench_palette("  64, one row, single-row form", 64, 2048, single_row);
    bench_palette("  64, rows in flight, 128-bit", 64, 2048, vec128);
    bench_palette("  256, grid, rows in flight, 128-bit", 256, 1024, vec128);
    // The whole-palette scan in AVX2 and AVX-512 registers, where the
    // processor runs both: the rule that picks AVX-512 above 16 colours.
    for (std::size_t colors : {8u, 16u, 17u, 32u, 64u}) {
        for (Isa isa : {Isa::avx2, Isa::avx512}) {
            if (!palette_rows_forms().runs(isa)) continue;
            char label[64];
            std::snprintf(label, sizeof label, "  %zu, rows in flight, %s", colors, isa_name(isa));
            bench_palette(label, colors, 2048, {.form = PaletteForm::rows, .isa = isa});
        }
    }
    bench_threshold_palettes();
    // The bounded pass beside the unbounded one, on palettes over the whole
    // cube and on palettes inside it, where the unbounded values wander
    // into the grid's outer cubes and the bounded ones never leave the
    // innermost.
    DiffusionOptions bounded;
    bounded.bounded = true;
    for (std::size_t colors : {16u, 64u, 256u, 4096u}) {
        const std::size_t side = colors > 64 ? 1024 : 2048;
        for (bool inner : {false, true}) {
            for (bool bound : {false, true}) {
                char label[64];
                std::snprintf(label, sizeof label, "  %zu%s, %s", colors, inner ? " inner" : "",
                              bound ? "bounded" : "unbounded");
                bench_palette(label, colors, side, bound ? bounded : DiffusionOptions{},
                                inner);
            }
        }
    }
    // The searches behind the bounded pass, side by side.
    for (std::size_t colors : {32u, 64u, 128u}) {
        for (PaletteSearch search : {PaletteSearch::full_scan, PaletteSearch::grid}) {
            DiffusionOptions options = bounded;
            options.search = search;
            char label[64];
            std::snprintf(label, sizeof label, "  %zu bounded, %s", colors,
                          search == PaletteSearch::grid ? "grid" : "full scan");
            bench_palette(label, colors, 2048, options);
        }
    }
    return 0;
}
