// Fuzz harness: the nearest-colour searches against the sequential rule
// (nearest_reference) on raw float triples.
//
// One case: a palette of 2..4096 colours in one of the shapes of
// fuzz_case.hpp, sRGB or linear working values, and up to 64 query values
// whose components are any float the fuzzer spells: raw bits (NaN,
// infinities, subnormals, huge values), ordinary values around the cube,
// the palette's own working values a step either side (ties), and the
// nested cubes' cell edges a step either side (where a value changes
// cell). Compared with nearest_reference for every value, in order, on the
// same grid objects (cells are built on first use, so the order of the
// values matters): Palette::nearest on every scan, NearestGrid with the
// error-diffusion split, with the finer split and with a tiny memory
// limit, each through its own search and the AVX2 lookup, the palette
// pass's whole-palette searches in registers, and the threshold passes'
// eight-lane scans.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/color/color_space.hpp"
#include "core/color/grid_search_avx2.hpp"
#include "core/color/nearest_grid.hpp"
#include "core/color/nearest_scan.hpp"
#include "core/color/palette.hpp"
#include "core/diffusion/palette_rows.hpp"
#include "core/simd/arch.hpp"
#include "core/threshold/threshold_loops.hpp"
#include "fuzz_case.hpp"

using namespace dithering;
using fuzz::Bytes;

namespace {

constexpr std::size_t MAX_QUERIES = 64;

// One component of a query value.
float decode_component(fuzz::Reader& in, const Palette& palette) {
    const std::uint8_t mode = in.byte();
    const std::uint8_t a = in.byte(), b = in.byte();
    float v = 0.0f;
    switch (mode % 8) {
        case 0: return in.raw_float();
        case 1: {
            constexpr float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                                          std::numeric_limits<float>::infinity(),
                                          -std::numeric_limits<float>::infinity(),
                                          std::numeric_limits<float>::max(),
                                          -std::numeric_limits<float>::max(),
                                          1e30f, -1e30f, 1e19f, -0.0f, 0.0f,
                                          std::numeric_limits<float>::denorm_min(),
                                          255.0f, 127.5f, 4096.0f, 65536.0f, 1e7f};
            return specials[a % std::size(specials)];
        }
        case 2:  // near the cube, in steps of 1/16
            v = static_cast<float>((a | b << 8) % 8192 - 2048) / 16.0f;
            break;
        case 3:  // a colour's own working value
            v = palette.working[(std::size_t{a} | std::size_t{b} << 8) % palette.working.size()];
            break;
        case 4: {  // a cell edge of one of the nested cubes
            const unsigned level = a % NearestGrid::LEVELS;
            const float steps[] = {1.0f, 4.0f, 16.0f};
            v = NearestGrid::low(level) +
                static_cast<float>(b) * steps[a / 4 % 3] * 2.0f * NearestGrid::unit(level);
            break;
        }
        case 5:  // far out, beyond the outer cubes
            v = (a & 1 ? -1.0f : 1.0f) * std::ldexp(1.0f + static_cast<float>(b) / 256.0f,
                                                    10 + a / 2 % 110);
            break;
        case 6:  // half-way between two colours on this channel
            v = 0.5f * (palette.working[a % palette.working.size()] +
                        palette.working[b % palette.working.size()]);
            break;
        default:
            v = static_cast<float>(a) + static_cast<float>(b) / 256.0f;
            break;
    }
    // A step either side, or none.
    const std::uint8_t nudge = in.byte() % 3;
    if (nudge == 1) v = std::nextafter(v, std::numeric_limits<float>::infinity());
    if (nudge == 2) v = std::nextafter(v, -std::numeric_limits<float>::infinity());
    return v;
}

struct Query {
    float c[3];
};

[[noreturn]] void report(const fuzz::Story& story, const char* form, const Query& q,
                         std::size_t want, std::size_t got, const Palette& palette) {
    char detail[320];
    const auto colour = [&](std::size_t j) {
        static char text[3][48];
        static int turn = 0;
        char* t = text[turn++ % 3];
        if (j < palette.size()) {
            std::snprintf(t, 48, "(%.9g, %.9g, %.9g)", static_cast<double>(palette.working[3 * j]),
                          static_cast<double>(palette.working[3 * j + 1]),
                          static_cast<double>(palette.working[3 * j + 2]));
        } else {
            std::snprintf(t, 48, "(out of range)");
        }
        return t;
    };
    std::snprintf(detail, sizeof detail,
                  "value (%.9g, %.9g, %.9g) [bits %08x %08x %08x]: reference %zu %s, %s %zu %s",
                  static_cast<double>(q.c[0]), static_cast<double>(q.c[1]),
                  static_cast<double>(q.c[2]), std::bit_cast<std::uint32_t>(q.c[0]),
                  std::bit_cast<std::uint32_t>(q.c[1]), std::bit_cast<std::uint32_t>(q.c[2]),
                  want, colour(want), form, got, colour(got));
    fuzz::disagree(story, form, detail);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    fuzz::Story story;
    const std::uint8_t band = in.byte();
    const std::size_t colors = band % 4 == 0   ? in.in_range(2, 16)
                               : band % 4 == 1 ? in.in_range(17, 64)
                               : band % 4 == 2 ? in.in_range(65, 400)
                                               : in.in_range(401, 4096);
    const bool linear = in.flag();
    std::string shape;
    Bytes palette_bytes = fuzz::make_palette(in, colors, shape);
    story.add("nearest colour: %zu colours, %s, shape %s", colors, linear ? "linear" : "sRGB",
              shape.c_str());
    story.add_palette(palette_bytes);
    const ColorSpace space = ColorSpace::create(linear);
    const auto palette = Palette::create(std::move(palette_bytes), space);
    if (!palette) fuzz::disagree(story, "Palette::create", "out of memory");

    std::vector<Query> queries;
    while (!in.empty() && queries.size() < MAX_QUERIES) {
        Query q{};
        for (float& c : q.c) c = decode_component(in, *palette);
        queries.push_back(q);
    }
    if (queries.empty()) queries.push_back({{0.0f, 0.0f, 0.0f}});

    // Three grids, each asked every value in order, by its own search and
    // by the AVX2 lookup, whichever first as the value's bits say (either
    // may be the one that builds the value's cell).
    std::optional<NearestGrid> grids[] = {
        NearestGrid::create(*palette), NearestGrid::create(*palette, NearestGrid::SPLIT_QUADS),
        NearestGrid::create(*palette, 16, 4096)};
    const char* const grid_names[] = {"grid", "grid (fine split)", "grid (4 KiB limit)"};
    [[maybe_unused]] const char* const vector_grid_names[] = {
        "grid avx2", "grid avx2 (fine split)", "grid avx2 (4 KiB limit)"};
    for (const auto& grid : grids) {
        if (!grid) fuzz::disagree(story, "NearestGrid::create", "out of memory");
    }

    std::vector<std::size_t> want(queries.size());
    for (std::size_t i = 0; i < queries.size(); ++i) {
        const Query& q = queries[i];
        want[i] = nearest_reference(palette->working.data(), colors, q.c[0], q.c[1], q.c[2]);
        const auto expect = [&](const char* form, std::size_t got) {
            if (got != want[i]) report(story, form, q, want[i], got, *palette);
        };
        expect("Palette::nearest", palette->nearest(q.c[0], q.c[1], q.c[2]));
        for (Isa isa : ALL_ISAS) {
            if (!nearest_scans().runs(isa)) continue;
            expect(isa == Isa::portable ? "nearest_portable"
                   : isa == Isa::vec128 ? "nearest_vec128"
                                        : "nearest_avx2",
                   palette->nearest_on(isa, q.c[0], q.c[1], q.c[2]));
        }
        const bool vector_first = (std::bit_cast<std::uint32_t>(q.c[0]) & 1) != 0;
#if DITHERING_ARCH_X86
        const bool avx2 = isa_available(Isa::avx2);
#endif
        for (std::size_t g = 0; g < std::size(grids); ++g) {
            NearestGrid& grid = *grids[g];
            for (int turn = 0; turn < 2; ++turn) {
                if ((turn == 0) != vector_first) {
                    expect(grid_names[g], grid.nearest(q.c[0], q.c[1], q.c[2]));
                    continue;
                }
#if DITHERING_ARCH_X86
                if (avx2) {
                    expect(vector_grid_names[g],
                           nearest_in_grid_avx2(grid, q.c[0], q.c[1], q.c[2]));
                }
#endif
            }
        }
#if DITHERING_ARCH_X86
        if (avx2) {
            if (colors <= 64) {
                expect("palette pass registers avx2",
                       nearest_in_registers_avx2(*palette, q.c[0], q.c[1], q.c[2]));
            }
        }
        if (isa_available(Isa::avx512) && colors <= 64) {
            expect("palette pass registers avx512",
                   nearest_in_registers_avx512(*palette, q.c[0], q.c[1], q.c[2]));
        }
#endif
        if (colors <= 64) {
            expect("palette pass registers vec128",
                   nearest_in_registers_vec128(*palette, q.c[0], q.c[1], q.c[2]));
        }
    }

    // The threshold passes' scans: eight values in lanes at a time, the
    // list padded to a multiple of eight with its first value.
    if (colors <= FULL_SCAN_MAX_COLORS) {
        const std::size_t count = (queries.size() + 7) / 8 * 8;
        std::vector<float> c0(count), c1(count), c2(count);
        for (std::size_t i = 0; i < count; ++i) {
            const Query& q = queries[i < queries.size() ? i : 0];
            c0[i] = q.c[0];
            c1[i] = q.c[1];
            c2[i] = q.c[2];
        }
        const auto expect_points = [&](const char* form, const std::vector<std::uint32_t>& got) {
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t k = i < queries.size() ? i : 0;
                if (got[i] != want[k]) report(story, form, queries[k], want[k], got[i], *palette);
            }
        };
        std::vector<std::uint32_t> got(count, 0xffffffffu);
        nearest_points_vec128(palette->working.data(), colors, c0.data(), c1.data(), c2.data(),
                           count, got.data());
        expect_points("nearest_points_vec128", got);
#if DITHERING_ARCH_X86
        if (isa_available(Isa::avx2)) {
            std::fill(got.begin(), got.end(), 0xffffffffu);
            nearest_points_avx2(palette->working.data(), colors, c0.data(), c1.data(),
                                c2.data(), count, got.data());
            expect_points("nearest_points_avx2", got);
        }
        if (isa_available(Isa::avx512)) {
            std::fill(got.begin(), got.end(), 0xffffffffu);
            nearest_points_avx512(palette->working.data(), colors, c0.data(), c1.data(),
                                  c2.data(), count, got.data());
            expect_points("nearest_points_avx512", got);
        }
#endif
    }
    return 0;
}
