// Fuzz harness: error diffusion to a palette, every form against the plain
// one, bounded and unbounded.
//
// One case: an image of up to 4096 pixels (3 or 4 channels, rows of 1..96
// pixels), a palette of 2..4096 colours in one of the shapes of
// fuzz_case.hpp (large palettes on small images, to keep each execution
// short), a kernel and strength, sRGB or linear light, raster or
// serpentine, bounded or not. Compared with palette_pass_plain byte for
// byte: the palette_pass entry, the single-row form, and the rows in
// flight over 128-bit vectors and over AVX2 (where it runs) with every
// search (automatic, the whole palette, the grid) and the numbers of rows
// in flight (0..4) the case names.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/color/color_space.hpp"
#include "core/color/nearest_scan.hpp"
#include "core/color/palette.hpp"
#include "core/diffusion/error_diffusion.hpp"
#include "core/diffusion/kernels.hpp"
#include "core/diffusion/palette_rows.hpp"
#include "core/diffusion/plain_pass.hpp"
#include "core/diffusion/register_scan.hpp"
#include "fuzz_case.hpp"

using namespace dithering;
using fuzz::Bytes;

namespace {

// Colours by band, each band taking its own search by default: in
// registers (up to 64), the grid, and thousands of colours (the grid's
// memory limit and the lists' second split).
std::size_t decode_colors(fuzz::Reader& in) {
    const std::uint8_t band = in.byte();
    switch (band % 8) {
        case 0: case 1: case 2: return in.in_range(2, 16);
        case 3: case 4: return in.in_range(17, 64);
        case 5: case 6: return in.in_range(65, 300);
        default: return in.in_range(301, 4096);
    }
}

// A form of the pass: one row at a time, or rows in flight on an
// instruction set.
struct Form {
    PaletteForm form;
    Isa isa;
};

const char* form_name(Form form) {
    if (form.form == PaletteForm::single_row) return "single_row";
    return form.isa == Isa::vec128 ? "rows_vec128" : "rows_avx2";
}

const char* search_name(PaletteSearch search) {
    switch (search) {
        case PaletteSearch::automatic: return "automatic";
        case PaletteSearch::full_scan: return "full_scan";
        case PaletteSearch::grid: return "grid";
    }
    return "?";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    fuzz::Story story;
    const std::size_t colors = decode_colors(in);
    // The plain form scans every colour at every pixel: keep the product
    // small enough for thousands of executions a minute.
    const std::size_t max_pixels = colors > 300 ? 256 : 4096;
    const std::size_t width = in.in_range(1, std::min<std::size_t>(96, max_pixels));
    const std::size_t height = in.in_range(1, std::min<std::size_t>(64, max_pixels / width));
    const std::size_t channels = in.in_range(3, 4);
    const Kernel& kernel = KERNELS[in.byte() % KERNELS.size()];
    const float strength = fuzz::decode_diffusion_strength(in);
    const bool linear = in.flag();
    const bool serpentine = in.flag();
    const bool bounded = in.flag();
    // Which numbers of rows in flight (0..4, 0 the default) each form
    // tries: the fuzzer picks, the default alone when it picks none. Each
    // run builds its own grid, which under AddressSanitizer costs more
    // than a small image's pixels: trying them all every time would
    // slow the fuzzer to a crawl.
    unsigned in_flight_set = in.byte() & 31u;
    if (in_flight_set == 0) in_flight_set = 1;
    std::string shape, style;
    Bytes palette_bytes = fuzz::make_palette(in, colors, shape);
    const Bytes image = fuzz::make_pixels(in, height * width * channels, style);
    story.add("palette diffusion: %zu x %zu x %zu, %s", height, width, channels,
              bounded ? "bounded" : "unbounded");
    story.add("kernel %.*s, strength %.9g, %s, %s", static_cast<int>(kernel.name.size()),
              kernel.name.data(), static_cast<double>(strength), linear ? "linear" : "sRGB",
              serpentine ? "serpentine" : "raster");
    story.add("pixels: %s; palette shape: %s; rows in flight tried: set %#x of 0..4",
              style.c_str(), shape.c_str(), in_flight_set);
    story.add_palette(palette_bytes);

    const ColorSpace space = ColorSpace::create(linear);
    const auto palette = Palette::create(std::move(palette_bytes), space);
    if (!palette) fuzz::disagree(story, "Palette::create", "out of memory");
    const KernelRows rows = kernel_rows(kernel, strength);

    Bytes want = image;
    if (palette_pass_plain({want.data(), height, width, channels}, space, *palette, rows,
                           {serpentine, bounded}) != PassStatus::ok) {
        fuzz::disagree(story, "plain", "did not return ok");
    }
    const auto check = [&](const char* name, PassStatus status, const Bytes& got) {
        if (status != PassStatus::ok) fuzz::disagree(story, name, "did not return ok");
        fuzz::expect_same_image(story, name, want, got, width, channels);
    };

    Bytes got = image;
    check("palette_pass",
          palette_pass({got.data(), height, width, channels}, space, *palette, rows,
                       {serpentine, bounded}),
          got);
    if (fast_forms_apply(rows)) {
        got = image;
        check("register scan",
              palette_pass_register_scan({got.data(), height, width, channels}, space, *palette,
                                         rows, {serpentine, bounded}),
              got);
    }
    std::vector<Form> forms{{PaletteForm::single_row, Isa::portable},
                            {PaletteForm::rows, Isa::vec128}};
    for (const Isa isa : ALL_ISAS) {
        if (isa > Isa::vec128 && palette_rows_forms().runs(isa)) {
            forms.push_back({PaletteForm::rows, isa});
        }
    }
    for (const Form form : forms) {
        for (PaletteSearch search :
             {PaletteSearch::automatic, PaletteSearch::full_scan, PaletteSearch::grid}) {
            for (std::size_t in_flight = 0; in_flight <= PALETTE_MAX_ROWS; ++in_flight) {
                // The single-row form neither searches by choice nor keeps
                // rows in flight: once is enough.
                if (form.form == PaletteForm::single_row &&
                    (search != PaletteSearch::automatic || in_flight != 0)) {
                    continue;
                }
                if (form.form != PaletteForm::single_row &&
                    (in_flight_set >> in_flight & 1) == 0) {
                    continue;
                }
                const DiffusionOptions options{.serpentine = serpentine,
                                               .bounded = bounded,
                                               .form = form.form,
                                               .isa = form.isa,
                                               .search = search,
                                               .rows_in_flight = in_flight};
                char name[96];
                std::snprintf(name, sizeof name, "%s, search %s, %zu rows in flight",
                              form_name(form), search_name(search), in_flight);
                got = image;
                check(name,
                      palette_pass({got.data(), height, width, channels}, space, *palette, rows,
                                   options),
                      got);
            }
        }
    }
    return 0;
}
