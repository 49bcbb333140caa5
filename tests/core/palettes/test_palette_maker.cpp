// The palette maker's parts against plain forms: box moments against sums
// over the pixels, the first cut against every cut tried by hand, the
// activity weights against their formula pixel by pixel.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "check.hpp"
#include "core/palettes/activity_weights.hpp"
#include "core/palettes/moment_cube.hpp"
#include "core/palettes/variance_split.hpp"

using namespace dithering;

namespace {

std::vector<std::uint8_t> random_pixels(std::size_t count, unsigned seed, int lo = 0, int hi = 255) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> value(lo, hi);
    std::vector<std::uint8_t> pixels(3 * count);
    for (auto& v : pixels) v = static_cast<std::uint8_t>(value(rng));
    return pixels;
}

MomentCube cube_of(const std::vector<std::uint8_t>& pixels) {
    MomentCube cube;
    for (std::size_t i = 0; i < pixels.size(); i += 3) {
        cube.cell(MomentCube::cell_of(&pixels[i])).add(&pixels[i], 1);
    }
    cube.accumulate();
    return cube;
}

unsigned cell_coordinate(std::uint8_t v) { return (v >> (8 - MomentCube::BITS)) + 1u; }

bool in_box(const std::uint8_t* p, const CellBox& box) {
    for (int k = 0; k < 3; ++k) {
        const unsigned c = cell_coordinate(p[k]);
        if (c <= box.lo[k] || c > box.hi[k]) return false;
    }
    return true;
}

}  // namespace

CORE_TEST(box_moments_are_the_sums_over_their_pixels) {
    const auto pixels = random_pixels(5000, 1);
    const MomentCube cube = cube_of(pixels);
    std::mt19937 rng(2);
    std::uniform_int_distribution<unsigned> side(0, MomentCube::SIDE);
    for (int trial = 0; trial < 200; ++trial) {
        CellBox box;
        for (int k = 0; k < 3; ++k) {
            unsigned a = side(rng), b = side(rng);
            box.lo[k] = std::min(a, b);
            box.hi[k] = std::max(a, b);
        }
        Moments want;
        for (std::size_t i = 0; i < pixels.size(); i += 3) {
            if (in_box(&pixels[i], box)) want.add(&pixels[i], 1);
        }
        const Moments got = cube.sum(box);
        CHECK(got.weight == want.weight && got.r == want.r && got.g == want.g &&
              got.b == want.b && got.squares == want.squares);
    }
}

CORE_TEST(the_first_cut_is_the_best_of_every_cut) {
    for (unsigned seed = 10; seed < 16; ++seed) {
        // Pixels in two loose clusters, somewhere in the cube.
        auto pixels = random_pixels(800, seed, 20, 120);
        const auto more = random_pixels(400, seed + 100, 90, 250);
        pixels.insert(pixels.end(), more.begin(), more.end());
        const MomentCube cube = cube_of(pixels);

        // Every cut by hand: the summed squared error of the two halves,
        // each about its own mean, from the pixels themselves.
        double best = -1.0;
        std::vector<std::uint8_t> best_colors;
        for (std::size_t axis = 0; axis < 3; ++axis) {
            for (unsigned p = 1; p < MomentCube::SIDE; ++p) {
                Moments low, high;
                for (std::size_t i = 0; i < pixels.size(); i += 3) {
                    (cell_coordinate(pixels[i + axis]) <= p ? low : high).add(&pixels[i], 1);
                }
                if (low.weight == 0 || high.weight == 0) continue;
                const double error = low.squared_error() + high.squared_error();
                if (best < 0 || error < best) {
                    best = error;
                    best_colors.assign(6, 0);
                    low.mean(&best_colors[0]);
                    high.mean(&best_colors[3]);
                }
            }
        }
        CHECK(variance_split(cube, 2) == best_colors);
    }
}

CORE_TEST(splits_stop_when_no_box_can_be_cut) {
    // Three colours in three cells: three boxes, however many are asked.
    std::vector<std::uint8_t> pixels = {0, 0, 0, 0, 0, 0, 255, 0, 0, 0, 0, 255};
    const MomentCube cube = cube_of(pixels);
    const auto colors = variance_split(cube, 16);
    CHECK(colors.size() == 9);
    // Two colours inside one cell: one box, its mean.
    const MomentCube tight = cube_of({100, 100, 100, 101, 101, 101});
    CHECK(variance_split(tight, 4) == (std::vector<std::uint8_t>{101, 101, 101}));
}

CORE_TEST(activity_weights_follow_their_formula) {
    for (auto [height, width] : {std::pair<std::size_t, std::size_t>{1, 1}, {1, 9}, {7, 1},
                                 {2, 2}, {13, 17}, {40, 33}}) {
        const auto pixels = random_pixels(height * width, static_cast<unsigned>(height * 31 + width));
        std::vector<std::uint8_t> got(height * width);
        CHECK(activity_weights(pixels.data(), height, width, 3, got.data()));
        auto clamp = [](long v, std::size_t n) {
            return static_cast<std::size_t>(std::clamp<long>(v, 0, static_cast<long>(n) - 1));
        };
        auto luma = [&](long y, long x) {
            const std::uint8_t* p = &pixels[3 * (clamp(y, height) * width + clamp(x, width))];
            return static_cast<long>((77u * p[0] + 150u * p[1] + 29u * p[2] + 128u) >> 8);
        };
        auto gradient = [&](long y, long x) {
            y = static_cast<long>(clamp(y, height)), x = static_cast<long>(clamp(x, width));
            return std::labs(luma(y, x + 1) - luma(y, x - 1)) +
                   std::labs(luma(y + 1, x) - luma(y - 1, x));
        };
        bool all = true;
        for (long y = 0; y < static_cast<long>(height); ++y) {
            for (long x = 0; x < static_cast<long>(width); ++x) {
                long s = 0;
                for (long dy = -1; dy <= 1; ++dy)
                    for (long dx = -1; dx <= 1; ++dx) s += gradient(y + dy, x + dx);
                // 64-bit whatever long is (32 bits on 32-bit and Windows targets).
                const std::int64_t flat = 9 * std::int64_t{ACTIVITY_KNEE};
                const std::int64_t want =
                    std::max<std::int64_t>(1, std::int64_t{ACTIVITY_TOP} * flat / (flat + s));
                all &= got[static_cast<std::size_t>(y) * width + static_cast<std::size_t>(x)] == want;
            }
        }
        CHECK(all);
    }
}
