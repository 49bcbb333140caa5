// Rows in vector lanes against the plain form: the same bytes and the same
// error at every pixel, and the level thresholds against the rounding they
// replace.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "check.hpp"
#include "core/color/color_space.hpp"
#include "core/color/levels.hpp"
#include "core/diffusion/error_diffusion.hpp"
#include "core/diffusion/kernels.hpp"
#include "core/diffusion/levels_wavefront.hpp"
#include "core/diffusion/plain_pass.hpp"
#include "core/diffusion/wavefront_layout.hpp"

using namespace dithering;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Images that exercise the interesting values: random bytes, flat areas
// (long runs where errors pile up), and ramps.
Bytes make_image(std::mt19937& rng, std::size_t size) {
    Bytes image(size);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> style(0, 2);
    const int s = style(rng);
    const int flat = byte(rng);
    for (std::size_t i = 0; i < size; ++i) {
        image[i] = static_cast<std::uint8_t>(s == 0   ? byte(rng)
                                             : s == 1 ? flat
                                                      : static_cast<int>(i * 7 % 256));
    }
    return image;
}

}  // namespace

namespace {

struct Case {
    std::size_t height, width, channels, channel;
    bool linear;
    std::uint32_t levels;
    const Kernel* kernel;
    float strength;
};

struct Outcome {
    Bytes pixels;
    std::vector<float> errors;
};

// The wavefront on the form for `path`, or the plain form without one.
Outcome run(std::optional<Isa> path, const Bytes& image, const Case& c) {
    const ColorSpace space = ColorSpace::create(c.linear);
    const Levels levels = Levels::create(c.levels, space);
    const KernelRows rows = kernel_rows(*c.kernel, c.strength);
    Outcome out{image, std::vector<float>(c.height * c.width, -12345.0f)};
    const PassStatus status =
        path ? levels_pass_wavefront(*path, {out.pixels.data(), c.height, c.width, c.channels},
                                     c.channel, space, levels, rows, out.errors.data())
             : levels_pass_plain({out.pixels.data(), c.height, c.width, c.channels}, c.channel,
                                 space, levels, rows, false, out.errors.data());
    CHECK(status == PassStatus::ok);
    return out;
}

// Bytes equal, and every error equal as a float (a zero's sign aside: the
// fast forms may leave out 0 * e terms).
bool same(const Outcome& a, const Outcome& b) {
    if (a.pixels != b.pixels) return false;
    for (std::size_t i = 0; i < a.errors.size(); ++i) {
        if (!(a.errors[i] == b.errors[i])) return false;
    }
    return true;
}

// Every form this processor runs.
std::vector<Isa> paths_here() {
    std::vector<Isa> paths;
    for (Isa isa : ALL_ISAS) {
        if (levels_wavefront_forms().runs(isa)) paths.push_back(isa);
    }
    return paths;
}

}  // namespace

CORE_TEST(wavefront_matches_plain_on_random_images) {
    std::mt19937 rng(11);
    // Around the band height (16), the lag, a band's stagger (15 lags),
    // the narrowest helix (16 lags: lanes move on to the next band as they
    // finish a row), the narrowest helix whose seams go through a copy
    // (128) and one 16-byte transpose block, plus 1-pixel and 1-row
    // images.
    constexpr auto lag = static_cast<std::size_t>(wavefront::LAG);
    const std::size_t heights[] = {1, 2, 3, 7, 8, 15, 16, 17, 31, 32, 33, 40, 48, 65};
    const std::size_t widths[] = {1,   2,   3,   lag - 1,      lag,          lag + 1,
                                  7,   8,   9,   15,           16,           17,
                                  31,  33,  119, 15 * lag - 1, 15 * lag,     15 * lag + 1,
                                  120, 121, 137, 15 * lag + 17, 30 * lag + 1, 16 * lag - 1,
                                  16 * lag, 16 * lag + 1, 16 * lag + 31, 16 * lag + 32,
                                  127,      128};
    const std::uint32_t level_counts[] = {2, 3, 4, 5, 7, 8, 9, 16, 100, 256};
    const float strengths[] = {0.0f, 0.25f, 0.8f, 1.0f};
    std::uniform_int_distribution<std::size_t> pick_h(0, std::size(heights) - 1);
    std::uniform_int_distribution<std::size_t> pick_w(0, std::size(widths) - 1);
    std::uniform_int_distribution<std::size_t> pick_n(0, std::size(level_counts) - 1);
    std::uniform_int_distribution<std::size_t> pick_s(0, std::size(strengths) - 1);
    std::uniform_int_distribution<std::size_t> pick_channels(1, 4);
    int mismatches = 0;
    for (int i = 0; i < 1800; ++i) {
        Case c{};
        c.height = heights[pick_h(rng)];
        c.width = widths[pick_w(rng)];
        c.channels = i % 5 == 0 ? pick_channels(rng) : 1;
        c.channel = c.channels - 1 - static_cast<std::size_t>(i) % c.channels;
        c.linear = i % 3 == 0;
        // Every kernel with 2 and 4 levels, then the others at random.
        c.kernel = &KERNELS[static_cast<std::size_t>(i) % KERNELS.size()];
        c.levels = i < 36 ? (i % 2 == 0 ? 2u : 4u) : level_counts[pick_n(rng)];
        c.strength = i % 7 == 0 ? strengths[pick_s(rng)] : 1.0f;
        const Bytes image = make_image(rng, c.height * c.width * c.channels);
        const Outcome plain = run(std::nullopt, image, c);
        for (Isa path : paths_here()) {
            if (!same(run(path, image, c), plain)) ++mismatches;
        }
    }
    CHECK(mismatches == 0);
}

CORE_TEST(wavefront_matches_plain_on_large_images) {
    std::mt19937 rng(12);
    // Several bands, a last band of every height, and widths where the
    // inner steps (every lane inside the image) dominate.
    for (std::size_t k = 0; k < KERNELS.size(); ++k) {
        for (std::uint32_t n : {2u, 4u, 6u, 256u}) {
            const Case c{49 + k, 300 + 17 * k, 1, 0, k % 2 == 1, n, &KERNELS[k], 1.0f};
            const Bytes image = make_image(rng, c.height * c.width);
            const Outcome plain = run(std::nullopt, image, c);
            for (Isa path : paths_here()) CHECK(same(run(path, image, c), plain));
        }
    }
    const Case rgb{35, 260, 3, 1, false, 2, &KERNELS[0], 1.0f};
    const Bytes image = make_image(rng, 35 * 260 * 3);
    const Outcome plain = run(std::nullopt, image, rgb);
    for (Isa path : paths_here()) {
        const Outcome fast = run(path, image, rgb);
        CHECK(same(fast, plain));
        for (std::size_t i = 0; i < image.size(); ++i) {
            if (i % 3 != 1) CHECK(fast.pixels[i] == image[i]);  // other channels untouched
        }
    }
}

CORE_TEST(levels_pass_takes_the_wavefront_with_the_same_bytes) {
    std::mt19937 rng(13);
    for (bool serpentine : {false, true}) {
        for (std::size_t k = 0; k < KERNELS.size(); ++k) {
            const ColorSpace space = ColorSpace::create(false);
            const Levels levels = Levels::create(k % 2 == 0 ? 2 : 4, space);
            const KernelRows rows = kernel_rows(KERNELS[k], 1.0f);
            const Bytes image = make_image(rng, 37 * 150);
            Bytes fast = image, plain = image;
            CHECK(levels_pass({fast.data(), 37, 150, 1}, 0, space, levels, rows, serpentine) ==
                  PassStatus::ok);
            CHECK(levels_pass_plain({plain.data(), 37, 150, 1}, 0, space, levels, rows,
                                    serpentine) == PassStatus::ok);
            CHECK(fast == plain);
        }
    }
}

CORE_TEST(wavefront_reports_impossible_widths) {
    const ColorSpace space = ColorSpace::create(false);
    const Levels levels = Levels::create(2, space);
    std::uint8_t pixel = 0;
    for (Isa path : paths_here()) {
        CHECK(levels_pass_wavefront(path, {&pixel, 1, WAVEFRONT_MAX_WIDTH + 1, 1}, 0, space, levels,
                                    kernel_rows(KERNELS[0], 1.0f)) == PassStatus::out_of_memory);
    }
}

namespace {

// The level by thresholds: how many of them v reaches (they ascend, so
// those reached come first; NaN reaches none).
std::size_t level_by_thresholds(const std::vector<float>& thresholds, float v) {
    const auto reached = std::partition_point(thresholds.begin(), thresholds.end(),
                                              [v](float t) { return v >= t; });
    return static_cast<std::size_t>(reached - thresholds.begin());
}

std::vector<float> thresholds_of(const Levels& levels) {
    std::vector<float> t;
    for (std::size_t i = 1; i < levels.count; ++i) t.push_back(levels.diffusion_threshold(i));
    return t;
}

}  // namespace

CORE_TEST(level_thresholds_match_the_rounding) {
    std::mt19937 rng(14);
    std::uniform_real_distribution<float> value(-300.0f, 600.0f);
    std::uniform_int_distribution<std::uint32_t> bits;
    for (bool linear : {false, true}) {
        const ColorSpace space = ColorSpace::create(linear);
        for (std::uint32_t n = 2; n <= 256; ++n) {
            const Levels levels = Levels::create(n, space);
            const std::vector<float> t = thresholds_of(levels);
            for (std::size_t i = 0; i < t.size(); ++i) {
                if (i > 0) CHECK(t[i - 1] < t[i]);
                // Exactly at each threshold the level steps up to i + 1.
                CHECK(levels.diffusion_level(t[i]) == i + 1);
                CHECK(levels.diffusion_level(std::nextafter(t[i], 0.0f)) == i);
                CHECK(level_by_thresholds(t, t[i]) == i + 1);
            }
            for (int k = 0; k < 2000; ++k) {
                const float v = k % 2 == 0 ? value(rng) : std::bit_cast<float>(bits(rng));
                CHECK(level_by_thresholds(t, v) == levels.diffusion_level(v));
            }
            for (float v : {0.0f, -0.0f, 127.5f, 255.0f, std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN()}) {
                CHECK(level_by_thresholds(t, v) == levels.diffusion_level(v));
            }
        }
        const Levels two = Levels::create(2, space);
        CHECK(two.diffusion_threshold(1) == 127.5f);
    }
}

// Every one of the 2^32 floats, for a few level counts: seconds each, so
// only when DITHERING_LONG_CHECKS is set (tools/long-checks.sh).
// The vector loops count the thresholds reached one by one; the count is
// the same as this search as long as the thresholds ascend, checked above.
CORE_TEST(level_thresholds_match_the_rounding_for_every_float) {
    if (std::getenv("DITHERING_LONG_CHECKS") == nullptr) return;
    for (std::uint32_t n : {2u, 3u, 4u, 5u, 8u, 17u, 255u, 256u}) {
        const Levels levels = Levels::create(n, ColorSpace::create(false));
        const std::vector<float> t = thresholds_of(levels);
        std::uint64_t wrong = 0;
        for (std::uint64_t b = 0; b <= 0xffffffffu; ++b) {
            const float v = std::bit_cast<float>(static_cast<std::uint32_t>(b));
            if (level_by_thresholds(t, v) != levels.diffusion_level(v)) ++wrong;
        }
        CHECK(wrong == 0);
        std::printf("     every float, %u levels: %llu differ\n", n,
                    static_cast<unsigned long long>(wrong));
    }
}

CORE_TEST(levels_pass_channels_matches_plain_channel_by_channel) {
    std::mt19937 rng(15);
    const std::size_t heights[] = {1, 9, 16, 17, 40};
    const std::size_t widths[] = {1, 7, 33, 130, 200};
    int mismatches = 0;
    for (int i = 0; i < 120; ++i) {
        const std::size_t h = heights[static_cast<std::size_t>(i) % std::size(heights)];
        const std::size_t w = widths[static_cast<std::size_t>(i / 5) % std::size(widths)];
        const std::size_t channels = 2 + static_cast<std::size_t>(i) % 4;
        // No channel skipped, or one (an alpha channel, first or last).
        std::optional<std::size_t> skip;
        if (i % 3 == 1) skip = channels - 1;
        if (i % 3 == 2) skip = 0;
        const ColorSpace space = ColorSpace::create(i % 2 == 0);
        const Levels levels = Levels::create(i % 4 == 0 ? 2 : 4 + static_cast<std::uint32_t>(i % 7), space);
        const KernelRows rows = kernel_rows(KERNELS[static_cast<std::size_t>(i) % KERNELS.size()], 1.0f);
        const bool serpentine = i % 10 == 9;
        const Bytes image = make_image(rng, h * w * channels);
        Bytes fast = image, plain = image;
        CHECK(levels_pass_channels({fast.data(), h, w, channels, skip}, space, levels, rows,
                                   serpentine) == PassStatus::ok);
        for (std::size_t c = 0; c < channels; ++c) {
            if (c == skip) continue;
            CHECK(levels_pass_plain({plain.data(), h, w, channels}, c, space, levels, rows,
                                    serpentine) == PassStatus::ok);
        }
        if (fast != plain) ++mismatches;
    }
    CHECK(mismatches == 0);
}
