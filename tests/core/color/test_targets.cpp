// The colour-space table, output levels, palettes and the nearest-colour scans.
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <optional>
#include <algorithm>
#include <random>
#include <vector>

#include "check.hpp"
#include "core/color/color_space.hpp"
#include "core/color/grid_search_avx2.hpp"
#include "core/color/levels.hpp"
#include "core/color/nearest_grid.hpp"
#include "core/color/nearest_scan.hpp"
#include "core/color/palette.hpp"
#include "core/color/target.hpp"
#include "core/diffusion/palette_rows.hpp"

using namespace dithering;

namespace {

// Within half a unit of the last of the seven significant digits given.
bool near(float got, float want, float rel) {
    return std::fabs(got - want) <= rel * std::fabs(want);
}

bool codes_are(const Levels& levels, std::vector<int> want) {
    if (levels.count != want.size()) return false;
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (levels.codes[i] != want[i]) return false;
    }
    return true;
}

bool values_near(const Levels& levels, std::vector<float> want) {
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (std::fabs(levels.values[i] - want[i]) > 0.00006f) return false;
    }
    return true;
}

Palette make_palette(std::vector<std::uint8_t> colors, bool linear) {
    return *Palette::create(std::move(colors), ColorSpace::create(linear));
}


}  // namespace

CORE_TEST(color_space_identity_without_linear) {
    const ColorSpace space = ColorSpace::create(false);
    CHECK(!space.linear);
    for (std::size_t v = 0; v < 256; ++v) CHECK(space.lut[v] == static_cast<float>(v));
}

CORE_TEST(color_space_linear_reference_values) {
    const ColorSpace space = ColorSpace::create(true);
    CHECK(space.linear);
    CHECK(space.lut[0] == 0.0f);
    CHECK(near(space.lut[1], 0.07739938f, 5e-7f));
    CHECK(near(space.lut[10], 0.7739938f, 5e-7f));
    CHECK(near(space.lut[11], 0.8533666f, 5e-7f));
    CHECK(near(space.lut[12], 0.9375092f, 5e-7f));
    CHECK(near(space.lut[32], 3.683180f, 5e-7f));
    CHECK(near(space.lut[64], 13.07371f, 5e-7f));
    CHECK(near(space.lut[128], 55.04443f, 5e-7f));
    CHECK(near(space.lut[188], 128.2361f, 5e-7f));
    CHECK(near(space.lut[254], 252.7311f, 5e-7f));
    CHECK(space.lut[255] == 255.0f);
    // The straight segment divides by 12.92 (bytes 0..10 only).
    CHECK(space.lut[10] == (10.0f / 255.0f) / 12.92f * 255.0f);
    for (std::size_t v = 1; v < 256; ++v) CHECK(space.lut[v] > space.lut[v - 1]);
}

CORE_TEST(levels_reference_table) {
    const ColorSpace srgb = ColorSpace::create(false);
    const ColorSpace linear = ColorSpace::create(true);
    const Levels two = Levels::create(2, srgb);
    CHECK(two.step == 255.0f && two.top == 1.0f && codes_are(two, {0, 255}));
    CHECK(codes_are(Levels::create(2, linear), {0, 255}));
    const Levels three = Levels::create(3, srgb);
    CHECK(three.step == 127.5f && codes_are(three, {0, 128, 255}));
    CHECK(values_near(three, {0, 128, 255}));
    const Levels three_lin = Levels::create(3, linear);
    CHECK(codes_are(three_lin, {0, 188, 255}) && values_near(three_lin, {0, 128.2361f, 255}));
    CHECK(codes_are(Levels::create(4, srgb), {0, 85, 170, 255}));
    CHECK(Levels::create(4, srgb).step == 85.0f);
    const Levels four_lin = Levels::create(4, linear);
    CHECK(codes_are(four_lin, {0, 156, 213, 255}) &&
          values_near(four_lin, {0, 84.7752f, 169.6738f, 255}));
    const Levels five_lin = Levels::create(5, linear);
    CHECK(five_lin.step == 63.75f);
    CHECK(codes_are(five_lin, {0, 137, 188, 225, 255}) &&
          values_near(five_lin, {0, 63.7904f, 128.2361f, 192.0003f, 255}));
    const Levels eight_lin = Levels::create(8, linear);
    CHECK(near(eight_lin.step, 36.428570f, 1e-7f));
    CHECK(codes_are(eight_lin, {0, 106, 146, 175, 199, 220, 238, 255}));
    CHECK(values_near(eight_lin, {0, 36.7528f, 73.2974f, 109.3161f, 145.6369f, 182.5019f,
                                  218.0231f, 255}));
    const Levels all = Levels::create(256, srgb);
    CHECK(all.step == 1.0f && all.top == 255.0f);
    for (std::size_t i = 0; i < 256; ++i) {
        CHECK(all.codes[i] == i && all.values[i] == static_cast<float>(i));
    }
}

CORE_TEST(levels_256_linear_shares_codes) {
    const ColorSpace linear = ColorSpace::create(true);
    const Levels levels = Levels::create(256, linear);
    std::size_t distinct = 1;
    for (std::size_t i = 1; i < 256; ++i) {
        CHECK(levels.codes[i] >= levels.codes[i - 1]);
        if (levels.codes[i] != levels.codes[i - 1]) ++distinct;
        CHECK(levels.values[i] == linear.lut[levels.codes[i]]);
    }
    CHECK(distinct == 183);
    const int dark[] = {0, 13, 22, 28, 34};
    for (std::size_t i = 0; i < 5; ++i) CHECK(levels.codes[i] == dark[i]);
    const int bright[] = {252, 252, 253, 253, 254, 254, 255, 255};
    for (std::size_t i = 0; i < 8; ++i) CHECK(levels.codes[248 + i] == bright[i]);
    CHECK(levels.values[0] == 0.0f && levels.values[255] == 255.0f);
}

CORE_TEST(levels_inv_step_is_reciprocal_of_step) {
    for (std::uint32_t n = 2; n <= 256; ++n) {
        const Levels levels = Levels::create(n, ColorSpace::create(false));
        CHECK(levels.inv_step == 1.0f / levels.step);
        CHECK(levels.top == static_cast<float>(n - 1));
    }
    const Levels eight = Levels::create(8, ColorSpace::create(false));
    CHECK(eight.inv_step == 0.027450982f);
    CHECK(eight.inv_step != 7.0f / 255.0f);
}

CORE_TEST(levels_quantize_boundaries) {
    const ColorSpace srgb = ColorSpace::create(false);
    const Levels two = Levels::create(2, srgb);
    CHECK(two.inv_step == 0.0039215689f);
    const float just_below = std::nextafterf(127.5f, 0.0f);
    CHECK(just_below == 127.49999237f);
    CHECK(std::nextafterf(just_below, 0.0f) == 127.49998474f);
    CHECK(two.quantize(127.5f) == 1);
    CHECK(two.quantize(127.49999237f) == 1);
    CHECK(two.quantize(127.49998474f) == 0);
    CHECK(two.quantize(127.0f) == 0 && two.quantize(128.0f) == 1);
    const Levels three = Levels::create(3, srgb);
    CHECK(three.codes[three.quantize(srgb.lut[64])] == 128);
    CHECK(three.codes[three.quantize(srgb.lut[63])] == 0);
    const ColorSpace linear = ColorSpace::create(true);
    const Levels four_lin = Levels::create(4, linear);
    CHECK(four_lin.codes[four_lin.quantize(linear.lut[128])] == 156);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (std::uint32_t n : {2u, 3u, 7u, 256u}) {
        const Levels levels = Levels::create(n, srgb);
        CHECK(levels.quantize(nan) == 0);
        CHECK(levels.quantize(-1e30f) == 0 && levels.quantize(-inf) == 0);
        CHECK(levels.quantize(-0.0f) == 0 && levels.quantize(-100.0f) == 0);
        CHECK(levels.quantize(1e30f) == n - 1 && levels.quantize(inf) == n - 1);
        CHECK(levels.quantize(300.0f) == n - 1);
    }
    // Without linear, 256 levels at strength 0 give every byte back.
    const Levels all = Levels::create(256, srgb);
    for (std::size_t b = 0; b < 256; ++b) CHECK(all.codes[all.quantize(srgb.lut[b])] == b);
}

CORE_TEST(levels_out_of_range_count_is_clamped) {
    const ColorSpace srgb = ColorSpace::create(false);
    CHECK(Levels::create(0, srgb).count == 2);
    CHECK(Levels::create(100000, srgb).count == 256);
}

CORE_TEST(palette_working_and_spread) {
    const Palette p = make_palette({10, 50, 10, 40, 100, 40, 140, 170, 10, 160, 190, 10}, false);
    CHECK(p.size() == 4);
    CHECK(p.spread[0] == 50.0f);
    CHECK(p.spread[1] == 46.666668f && p.spread[1] == 140.0f / 3.0f);
    CHECK(p.spread[2] == 30.0f);
    CHECK(p.colors.size() == 12 && p.colors[3] == 40 && p.colors[11] == 10);
    for (std::size_t i = 0; i < 12; ++i) CHECK(p.working[i] == static_cast<float>(p.colors[i]));

    const ColorSpace linear = ColorSpace::create(true);
    const Palette lp = make_palette({10, 50, 10, 40, 100, 40, 140, 170, 10, 160, 190, 10}, true);
    CHECK(lp.spread[0] == (linear.lut[160] - linear.lut[10]) / 3.0f);
    CHECK(lp.spread[2] == (linear.lut[40] - linear.lut[10]) / 1.0f);
    CHECK(lp.working[4] == linear.lut[100]);

    for (bool lin : {false, true}) {
        const Palette bw = make_palette({0, 0, 0, 255, 255, 255}, lin);
        CHECK(bw.spread[0] == 255.0f && bw.spread[1] == 255.0f && bw.spread[2] == 255.0f);
    }
    // One value in a channel: spread 0. Duplicates are kept in order.
    const Palette flat = make_palette({7, 0, 9, 7, 255, 9, 7, 0, 9}, false);
    CHECK(flat.size() == 3);
    CHECK(flat.spread[0] == 0.0f && flat.spread[1] == 255.0f && flat.spread[2] == 0.0f);
}

CORE_TEST(palette_nearest_rules) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const Palette bw = make_palette({0, 0, 0, 255, 255, 255}, false);
    const Palette dup = make_palette({255, 255, 255, 0, 0, 0, 255, 255, 255, 0, 0, 0}, false);
    for (Isa path : ALL_ISAS) {
        if (!nearest_scans().runs(path)) continue;
        CHECK(bw.nearest_on(path, 127.5f, 127.5f, 127.5f) == 0);  // halfway: first listed
        CHECK(bw.nearest_on(path, 128.0f, 127.0f, 128.0f) == 1);
        CHECK(dup.nearest_on(path, 250.0f, 250.0f, 250.0f) == 0);  // a later duplicate never wins
        CHECK(dup.nearest_on(path, 5.0f, 5.0f, 5.0f) == 1);
        CHECK(dup.nearest_on(path, nan, 5.0f, 5.0f) == 0);  // every distance NaN
        CHECK(dup.nearest_on(path, 1e30f, 5.0f, 5.0f) == 0);  // every distance +inf
        CHECK(dup.nearest_on(path, -inf, 5.0f, 5.0f) == 0);
        CHECK(dup.nearest_on(path, 1e19f, 1e19f, 1e19f) == 0);
    }
    CHECK(bw.nearest(200.0f, 200.0f, 200.0f) == 1);
    CHECK(dup.nearest(127.5f, 127.5f, 127.5f) == 0);
}

namespace {

// Random inputs of every awkward kind for a given working list.
float awkward_value(std::mt19937& rng, const std::vector<float>& working) {
    std::uniform_int_distribution<int> kind(0, 15);
    std::uniform_real_distribution<float> wide(-400.0f, 700.0f);
    std::uniform_int_distribution<std::size_t> pick(0, working.size() - 1);
    switch (kind(rng)) {
        case 0: return std::numeric_limits<float>::quiet_NaN();
        case 1: return std::numeric_limits<float>::infinity();
        case 2: return -std::numeric_limits<float>::infinity();
        case 3: return 1e19f;
        case 4: return -3e20f;
        case 5: case 6: case 7: return working[pick(rng)];  // exactly on a colour
        case 8: case 9: {  // halfway between two colours' values
            const float a = working[pick(rng)];
            const float b = working[pick(rng)];
            return (a + b) * 0.5f;
        }
        default: return wide(rng);
    }
}

}  // namespace

CORE_TEST(nearest_paths_match_reference_on_palettes) {
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> small_byte(0, 3);
    std::size_t checked = 0;
    for (std::size_t m : {2u, 3u, 4u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 33u, 64u, 100u, 255u,
                          256u, 300u, 1000u, 4096u}) {
        for (bool linear : {false, true}) {
            for (int coarse = 0; coarse < 2; ++coarse) {
                // Coarse palettes draw from four values per channel, so
                // duplicates and equal distances are everywhere.
                std::vector<std::uint8_t> colors(3 * m);
                for (auto& c : colors) {
                    c = static_cast<std::uint8_t>(coarse ? small_byte(rng) * 85 : byte(rng));
                }
                const Palette p = make_palette(std::move(colors), linear);
                const int trials = m >= 1000 ? 200 : 1500;
                for (int t = 0; t < trials; ++t) {
                    const float c0 = awkward_value(rng, p.working);
                    const float c1 = awkward_value(rng, p.working);
                    const float c2 = awkward_value(rng, p.working);
                    const std::size_t want = nearest_reference(p.working.data(), m, c0, c1, c2);
                    CHECK(p.nearest(c0, c1, c2) == want);
                    for (Isa path : ALL_ISAS) {
                        if (nearest_scans().runs(path)) {
                            CHECK(p.nearest_on(path, c0, c1, c2) == want);
                        }
                    }
                    ++checked;
                }
            }
        }
    }
    CHECK(checked > 50000);
}

CORE_TEST(nearest_paths_match_reference_on_raw_lanes) {
    // Working values the palette never produces (NaN, infinities, huge
    // numbers) still give the sequential answer on every path.
    std::mt19937 rng(777);
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_real_distribution<float> wide(-1000.0f, 1000.0f);
    for (int round = 0; round < 400; ++round) {
        const std::size_t m = 1 + static_cast<std::size_t>(round % 70);
        std::vector<float> working(3 * m);
        for (auto& w : working) {
            switch (kind(rng)) {
                case 0: w = std::numeric_limits<float>::quiet_NaN(); break;
                case 1: w = std::numeric_limits<float>::infinity(); break;
                case 2: w = 2e19f; break;
                case 3: w = 1.0f; break;
                default: w = wide(rng);
            }
        }
        const std::size_t padded = (m + NEAREST_PAD - 1) / NEAREST_PAD * NEAREST_PAD;
        std::vector<float> lanes(3 * padded, std::numeric_limits<float>::quiet_NaN());
        for (std::size_t j = 0; j < m; ++j) {
            for (std::size_t k = 0; k < 3; ++k) lanes[k * padded + j] = working[3 * j + k];
        }
        const float* base = lanes.data();
        const ScanLanes view{base, base + padded, base + 2 * padded, padded};
        for (int t = 0; t < 200; ++t) {
            const float c0 = awkward_value(rng, working);
            const float c1 = awkward_value(rng, working);
            const float c2 = awkward_value(rng, working);
            const std::size_t want = nearest_reference(working.data(), m, c0, c1, c2);
            for (Isa path : ALL_ISAS) {
                if (nearest_scans().runs(path)) {
                    CHECK(nearest_scans().on(path)(view, c0, c1, c2) == want);
                }
            }
        }
    }
}

namespace {

// Values where the grid is most likely to go wrong: on and one step either
// side of cell edges of every width in every cube (a cube's cells are 16
// units wide, split into 4 and 1, and gathered by 4 for their parents), at
// the ends of each cube, far beyond the last, and the awkward values above.
float grid_value(std::mt19937& rng, const std::vector<float>& working) {
    std::uniform_int_distribution<int> kind(0, 11);
    std::uniform_int_distribution<unsigned> level(0, NearestGrid::LEVELS - 1);
    std::uniform_int_distribution<int> steps_log4(0, 3);
    std::uniform_int_distribution<int> side(-1, 1);
    auto nudge = [&](float v) {
        const int s = side(rng);
        return s == 0 ? v : std::nextafter(v, s < 0 ? -INFINITY : INFINITY);
    };
    const unsigned l = level(rng);
    const float u = NearestGrid::unit(l);
    switch (kind(rng)) {
        case 0: case 1: case 2: {
            // The i-th edge of cells `steps` coordinates wide, a few cells
            // either side of the cube included.
            const int steps = 1 << (2 * steps_log4(rng));
            const int i = std::uniform_int_distribution<int>(-2, 512 / steps + 2)(rng);
            return nudge(NearestGrid::low(l) + static_cast<float>(i * steps) * u);
        }
        case 3: return nudge(rng() % 2 ? NearestGrid::low(l) : NearestGrid::low(l) + 512.0f * u);
        case 4: return std::numeric_limits<float>::denorm_min() * static_cast<float>(side(rng));
        case 5: return -0.0f;
        case 6: return std::uniform_real_distribution<float>(-3e5f, 3e5f)(rng);
        default: return awkward_value(rng, working);
    }
}

// Checks the grid's scalar and vector searches against the sequential rule.
void check_grid(const Palette& p, std::mt19937& rng, int trials) {
    std::optional<NearestGrid> grid = NearestGrid::create(p);
    CHECK(grid.has_value());
    if (!grid) return;
    [[maybe_unused]] const bool vector = isa_available(Isa::avx2);
    for (int t = 0; t < trials; ++t) {
        const float c0 = grid_value(rng, p.working);
        const float c1 = grid_value(rng, p.working);
        const float c2 = grid_value(rng, p.working);
        const std::size_t want = nearest_reference(p.working.data(), p.size(), c0, c1, c2);
        CHECK(grid->nearest(c0, c1, c2) == want);
#if DITHERING_ARCH_X86
        if (vector) {
            CHECK(nearest_in_grid_avx2(*grid, c0, c1, c2) == want);
            if (p.size() <= 64) CHECK(nearest_in_registers_avx2(p, c0, c1, c2) == want);
        }
#endif
    }
}

}  // namespace

CORE_TEST(nearest_grid_matches_reference) {
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> small_byte(0, 3);
    std::uniform_int_distribution<int> on_edges(0, 32);
    for (std::size_t m : {2u, 3u, 5u, 8u, 9u, 16u, 17u, 24u, 32u, 33u, 64u, 65u, 100u, 256u,
                          700u, 1024u, 1025u, 2000u, 4096u}) {
        for (bool linear : {false, true}) {
            for (int kind = 0; kind < 3; ++kind) {
                // Random colours; colours from four values per channel
                // (duplicates and ties everywhere); colours on multiples of
                // 8, where cell edges fall in sRGB.
                std::vector<std::uint8_t> colors(3 * m);
                for (auto& c : colors) {
                    const int v = kind == 0 ? byte(rng)
                                  : kind == 1 ? small_byte(rng) * 85
                                              : std::min(255, on_edges(rng) * 8);
                    c = static_cast<std::uint8_t>(v);
                }
                check_grid(make_palette(std::move(colors), linear), rng, m >= 1000 ? 300 : 1000);
            }
        }
    }
}

namespace {

// Palettes shaped the way real ones are, and the ways that strain a grid:
// clustered like a photo's own palette (most colours crowded in a few
// small regions), near-duplicates one step apart in one channel, exact
// duplicates, the 16 x 16 x 16 cube, and every colour on the grey axis.
std::vector<std::uint8_t> shaped_palette(std::mt19937& rng, int shape, std::size_t m) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::normal_distribution<float> spread(0.0f, 6.0f);
    auto clamp = [](float v) { return static_cast<std::uint8_t>(std::clamp(v, 0.0f, 255.0f)); };
    std::vector<std::uint8_t> colors;
    switch (shape) {
        case 0: {  // clusters
            float centres[4][3];
            for (auto& c : centres) for (float& v : c) v = static_cast<float>(byte(rng));
            for (std::size_t j = 0; j < m; ++j) {
                const float* c = centres[rng() % 4];
                for (int k = 0; k < 3; ++k) colors.push_back(clamp(c[k] + spread(rng)));
            }
            break;
        }
        case 1:  // near-duplicates: pairs one step apart in one channel
            for (std::size_t j = 0; j < m; j += 2) {
                std::uint8_t c[3] = {static_cast<std::uint8_t>(byte(rng) & 254),
                                     static_cast<std::uint8_t>(byte(rng)),
                                     static_cast<std::uint8_t>(byte(rng))};
                colors.insert(colors.end(), c, c + 3);
                c[rng() % 3] ^= 1;
                colors.insert(colors.end(), c, c + 3);
            }
            break;
        case 2:  // exact duplicates of a few colours, in scattered order
            for (std::size_t j = 0; j < m; ++j) {
                const int v = static_cast<int>(rng() % 5) * 60;
                colors.push_back(static_cast<std::uint8_t>(v));
                colors.push_back(static_cast<std::uint8_t>(255 - v));
                colors.push_back(static_cast<std::uint8_t>((v * 7) % 256));
            }
            break;
        case 3:  // the 16 x 16 x 16 cube
            for (int r = 0; r < 16; ++r)
                for (int g = 0; g < 16; ++g)
                    for (int b = 0; b < 16; ++b) {
                        colors.push_back(static_cast<std::uint8_t>(r * 17));
                        colors.push_back(static_cast<std::uint8_t>(g * 17));
                        colors.push_back(static_cast<std::uint8_t>(b * 17));
                    }
            break;
        default:  // the grey axis
            for (std::size_t j = 0; j < m; ++j) {
                const auto v = static_cast<std::uint8_t>(byte(rng));
                colors.insert(colors.end(), {v, v, v});
            }
    }
    return colors;
}

}  // namespace

CORE_TEST(nearest_grid_matches_reference_on_shaped_palettes_and_walks) {
    // Values as error diffusion makes them: a random walk that lingers near
    // the colours and wanders far out (unclamped error), so that many
    // values share a cell and its children, each cell's list serving
    // values all over its box. Every answer is checked.
    std::mt19937 rng(31337);
    std::normal_distribution<float> step(0.0f, 9.0f);
    for (int shape = 0; shape < 5; ++shape) {
        for (std::size_t m : {65u, 256u, 1000u, 4096u}) {
            if (shape == 3 && m != 4096) continue;
            for (bool linear : {false, true}) {
                const Palette p = make_palette(shaped_palette(rng, shape, m), linear);
                // Children split again past 16 quads (error diffusion) or
                // past 1 (more than any caller, so that most split); every
                // other grid gets 32 KiB, so that it soon runs out of room
                // and its cells share their parents' lists.
                const bool tight = (shape + static_cast<int>(linear)) % 2 == 1;
                std::optional<NearestGrid> grid = NearestGrid::create(
                    p, linear ? std::size_t{1} : std::size_t{16},
                    tight ? std::size_t{32} << 10 : NearestGrid::MEMORY_LIMIT);
                CHECK(grid.has_value());
                if (!grid) continue;
                [[maybe_unused]] const bool vector = isa_available(Isa::avx2);
                float c[3] = {128.0f, 128.0f, 128.0f};
                for (int t = 0; t < 6000; ++t) {
                    const float pull = t % 1000 < 700 ? 0.9f : 1.02f;  // in, then out
                    for (float& v : c) v = (v - 128.0f) * pull + 128.0f + step(rng);
                    if (t % 97 == 0) {
                        for (float& v : c) v = grid_value(rng, p.working);
                    }
                    const std::size_t want =
                        nearest_reference(p.working.data(), p.size(), c[0], c[1], c[2]);
                    CHECK(grid->nearest(c[0], c[1], c[2]) == want);
#if DITHERING_ARCH_X86
                    if (vector) CHECK(nearest_in_grid_avx2(*grid, c[0], c[1], c[2]) == want);
#endif
                    if (!std::isfinite(c[0] + c[1] + c[2])) c[0] = c[1] = c[2] = 128.0f;
                }
            }
        }
    }
}

CORE_TEST(nearest_grid_breaks_built_ties_by_index) {
    // Colours placed symmetrically around a point, all at the same distance
    // from it, in a shuffled order among random others; the point itself is
    // queried, as are points one step away. The lowest listed index of the
    // tied colours must win, whichever cells they fall in.
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> centre(12, 243);
    std::uniform_int_distribution<int> offset(1, 12);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 300; ++round) {
        const int x = centre(rng), y = centre(rng), z = centre(rng), d = offset(rng);
        std::vector<std::uint8_t> colors;
        auto add = [&colors](int r, int g, int b) {
            colors.push_back(static_cast<std::uint8_t>(r));
            colors.push_back(static_cast<std::uint8_t>(g));
            colors.push_back(static_cast<std::uint8_t>(b));
        };
        const int extra = round % 3 == 0 ? 2 : 40 + round * 3;
        for (int i = 0; i < extra; ++i) add(byte(rng), byte(rng), byte(rng));
        add(x - d, y, z);
        add(x + d, y, z);
        add(x, y - d, z);
        add(x, y + d, z);
        add(x, y, z - d);
        add(x, y, z + d);
        // Shuffle whole colours.
        const std::size_t m = colors.size() / 3;
        for (std::size_t i = m - 1; i > 0; --i) {
            const std::size_t j = rng() % (i + 1);
            for (std::size_t k = 0; k < 3; ++k) std::swap(colors[3 * i + k], colors[3 * j + k]);
        }
        const Palette p = make_palette(std::move(colors), false);
        std::optional<NearestGrid> grid = NearestGrid::create(p);
        CHECK(grid.has_value());
        if (!grid) continue;
        const float fx = static_cast<float>(x);
        const float fy = static_cast<float>(y);
        const float fz = static_cast<float>(z);
        for (int s = -1; s <= 1; ++s) {
            const float c0 = s == 0 ? fx : std::nextafter(fx, s < 0 ? -INFINITY : INFINITY);
            const std::size_t want = nearest_reference(p.working.data(), m, c0, fy, fz);
            CHECK(grid->nearest(c0, fy, fz) == want);
#if DITHERING_ARCH_X86
            if (isa_available(Isa::avx2)) {
                CHECK(nearest_in_grid_avx2(*grid, c0, fy, fz) == want);
            }
#endif
        }
    }
}

CORE_TEST(nearest_registers_match_reference_on_small_palettes) {
    [[maybe_unused]] const bool avx2 = isa_available(Isa::avx2);
    [[maybe_unused]] const bool avx512 = isa_available(Isa::avx512);
    std::mt19937 rng(4321);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> small_byte(0, 3);
    for (std::size_t m = 1; m <= 64; ++m) {
        for (int coarse = 0; coarse < 2; ++coarse) {
            std::vector<std::uint8_t> colors(3 * m);
            for (auto& c : colors) {
                c = static_cast<std::uint8_t>(coarse ? small_byte(rng) * 85 : byte(rng));
            }
            const Palette p = make_palette(std::move(colors), coarse != 0);
            for (int t = 0; t < 2000; ++t) {
                const float c0 = awkward_value(rng, p.working);
                const float c1 = awkward_value(rng, p.working);
                const float c2 = awkward_value(rng, p.working);
                const std::size_t want = nearest_reference(p.working.data(), m, c0, c1, c2);
                CHECK(nearest_in_registers_vec128(p, c0, c1, c2) == want);
#if DITHERING_ARCH_X86
                if (avx2) CHECK(nearest_in_registers_avx2(p, c0, c1, c2) == want);
                if (avx512) CHECK(nearest_in_registers_avx512(p, c0, c1, c2) == want);
#endif
            }
        }
    }
}

CORE_TEST(target_holds_either_variant) {
    Target levels = Levels::create(4, ColorSpace::create(false));
    CHECK(std::holds_alternative<Levels>(levels));
    Target palette = make_palette({0, 0, 0, 255, 255, 255}, false);
    CHECK(std::holds_alternative<Palette>(palette));
    CHECK(std::get<Palette>(palette).nearest(255.0f, 255.0f, 255.0f) == 1);
}

CORE_TEST(avx2_path_reported) {
    // Informational: which scans this machine ran.
    std::printf("     nearest scans:");
    for (Isa isa : ALL_ISAS) {
        if (nearest_scans().runs(isa)) std::printf(" %s", isa_name(isa));
    }
    std::printf("\n");
    // Every processor runs the portable and the 128-bit scan, and the
    // palette takes the widest one within widest_isa().
    CHECK(nearest_scans().runs(Isa::portable) && nearest_scans().runs(Isa::vec128));
    Isa widest_running = Isa::portable;
    for (Isa isa : ALL_ISAS) {
        if (nearest_scans().runs(isa) && isa <= widest_isa()) widest_running = isa;
    }
    CHECK(nearest_scans().pick() == nearest_scans().on(widest_running));
}
