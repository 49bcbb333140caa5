// Ordered and random dither: worked examples, the generator's first values,
// and every loop against a plain per-pixel reference on many random images.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/color_space.hpp"
#include "core/image.hpp"
#include "core/levels.hpp"
#include "core/palette.hpp"
#include "core/threshold_dither.hpp"
#include "core/threshold_kernels.hpp"
#include "core/nearest_scan.hpp"
#include "core/threshold_matrix.hpp"

using namespace dithering;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t GAMMA = 0x9e3779b97f4a7c15ULL;

Img make_img(const Bytes& bytes, std::size_t height, std::size_t width, std::size_t channels,
             std::optional<std::size_t> alpha = std::nullopt) {
    Img img;
    img.pixels = allocate_pixels(bytes.size());
    if (!bytes.empty()) std::memcpy(img.pixels.get(), bytes.data(), bytes.size());
    img.shape = {height, width, channels};
    img.height = height;
    img.width = width;
    img.channels = channels;
    img.alpha = alpha;
    return img;
}

Bytes bytes_of(const Img& img) { return Bytes(img.pixels.get(), img.pixels.get() + img.size()); }

// The arithmetic written out once more, independently of the library: the
// level is roundf of the scaled sum, clamped, NaN to level 0.
std::uint8_t reference_byte(const ColorSpace& space, const Levels& levels, float offset,
                            std::uint8_t byte) {
    const float v = space.lut[byte] + offset;
    const float q = v * levels.inv_step;
    float r = std::roundf(q);
    if (r < 0.0f) r = 0.0f;
    if (r > levels.top) r = levels.top;
    const std::size_t index = std::isnan(r) ? 0 : static_cast<std::size_t>(r);
    return levels.codes[index];
}

Bytes reference_ordered(Bytes px, std::size_t height, std::size_t width, std::size_t channels,
                        std::optional<std::size_t> alpha, const ColorSpace& space,
                        const Levels& levels, float strength, const ThresholdMatrix& matrix) {
    const float amp = strength * levels.step;
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            const float t = matrix.thresholds[(y % matrix.rows) * matrix.cols + x % matrix.cols];
            const float offset = (t + -0.5f) * amp;
            for (std::size_t c = 0; c < channels; ++c) {
                if (alpha && *alpha == c) continue;
                std::uint8_t& b = px[(y * width + x) * channels + c];
                b = reference_byte(space, levels, offset, b);
            }
        }
    }
    return px;
}

// SplitMix64, written out here as the generator's published form.
struct SplitMix {
    std::uint64_t state;
    std::uint32_t next_u() {
        state += GAMMA;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        z = z ^ (z >> 31);
        return static_cast<std::uint32_t>(z >> 40);
    }
    float next_t() { return static_cast<float>(next_u()) * 0x1p-24f - 0.5f; }
};

SplitMix seeded(std::uint64_t seed) { return SplitMix{seed ^ 0xd1b54a32d192ed03ULL}; }

Bytes reference_random(Bytes px, std::size_t pixels, std::size_t channels,
                       std::optional<std::size_t> alpha, const ColorSpace& space,
                       const Levels& levels, float strength, std::uint64_t seed) {
    const float amp = strength * levels.step;
    SplitMix gen = seeded(seed);
    for (std::size_t n = 0; n < pixels; ++n) {
        const float offset = gen.next_t() * amp;
        for (std::size_t c = 0; c < channels; ++c) {
            if (alpha && *alpha == c) continue;
            std::uint8_t& b = px[n * channels + c];
            b = reference_byte(space, levels, offset, b);
        }
    }
    return px;
}

const OrderedLevelsLoop ORDERED_LOOPS[] = {
    OrderedLevelsLoop::plain,        OrderedLevelsLoop::arithmetic,
    OrderedLevelsLoop::arithmetic_avx2, OrderedLevelsLoop::table,
    OrderedLevelsLoop::compare_sse2, OrderedLevelsLoop::compare_avx2};
const ThresholdLoop LOOPS[] = {ThresholdLoop::plain, ThresholdLoop::scalar, ThresholdLoop::avx2};

const char* loop_name(OrderedLevelsLoop loop) {
    switch (loop) {
        case OrderedLevelsLoop::plain: return "plain";
        case OrderedLevelsLoop::arithmetic: return "arithmetic";
        case OrderedLevelsLoop::arithmetic_avx2: return "arithmetic_avx2";
        case OrderedLevelsLoop::table: return "table";
        case OrderedLevelsLoop::compare_sse2: return "compare_sse2";
        case OrderedLevelsLoop::compare_avx2: return "compare_avx2";
    }
    return "?";
}

// How often each ordered loop actually ran in the sweeps, so that a loop
// that silently declines everything is noticed.
struct Runs {
    int ordered[6] = {};
    int random[3] = {};
};

// Every ordered loop that runs, and the chosen one, against the reference.
void check_ordered(const Bytes& px, std::size_t height, std::size_t width, std::size_t channels,
                   std::optional<std::size_t> alpha, const ColorSpace& space,
                   const Levels& levels, float strength, const ThresholdMatrix& matrix,
                   Runs& runs) {
    const Bytes want =
        reference_ordered(px, height, width, channels, alpha, space, levels, strength, matrix);
    for (const OrderedLevelsLoop loop : ORDERED_LOOPS) {
        Img img = make_img(px, height, width, channels, alpha);
        if (!ordered_levels_on(loop, img, space, levels, strength, matrix)) {
            CHECK(bytes_of(img) == px);  // a loop that declines leaves the image alone
            continue;
        }
        ++runs.ordered[static_cast<int>(loop)];
        const bool same = bytes_of(img) == want;
        if (!same) {
            std::fprintf(stderr,
                         "ordered %s: %zux%zux%zu alpha %d levels %u strength %g linear %d "
                         "tile %zux%zu\n",
                         loop_name(loop), height, width, channels, alpha ? int(*alpha) : -1,
                         levels.count, double(strength), int(space.linear), matrix.rows,
                         matrix.cols);
        }
        CHECK(same);
    }
    Img img = make_img(px, height, width, channels, alpha);
    ordered_levels(img, space, levels, strength, matrix);
    CHECK(bytes_of(img) == want);
}

void check_random(const Bytes& px, std::size_t height, std::size_t width, std::size_t channels,
                  std::optional<std::size_t> alpha, const ColorSpace& space, const Levels& levels,
                  float strength, std::uint64_t seed, Runs& runs) {
    const Bytes want =
        reference_random(px, height * width, channels, alpha, space, levels, strength, seed);
    const std::uint64_t state = random_state_from_seed(seed);
    for (const ThresholdLoop loop : LOOPS) {
        Img img = make_img(px, height, width, channels, alpha);
        if (!random_levels_on(loop, img, space, levels, strength, state)) continue;
        ++runs.random[static_cast<int>(loop)];
        const bool same = bytes_of(img) == want;
        if (!same) {
            std::fprintf(stderr, "random loop %d: %zux%zux%zu levels %u strength %g\n",
                         int(loop), height, width, channels, levels.count, double(strength));
        }
        CHECK(same);
    }
    Img img = make_img(px, height, width, channels, alpha);
    random_levels(img, space, levels, strength, state);
    CHECK(bytes_of(img) == want);
}

Bytes uniform(std::size_t size, std::uint8_t value) { return Bytes(size, value); }

Bytes random_bytes(std::mt19937_64& rng, std::size_t size) {
    Bytes out(size);
    // Mostly smooth values with some extremes, so that every level is met.
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> kind(0, 9);
    for (auto& b : out) {
        const int k = kind(rng);
        b = static_cast<std::uint8_t>(k == 0 ? 0 : k == 1 ? 255 : byte(rng));
    }
    return out;
}

ThresholdMatrix random_tile(std::mt19937_64& rng) {
    std::uniform_int_distribution<int> pick(0, 5);
    std::uniform_int_distribution<std::size_t> side(1, 9);
    std::string error;
    switch (pick(rng)) {
        case 0:
        case 1: {
            const std::size_t sizes[] = {2, 4, 8, 16};
            return ThresholdMatrix::bayer(sizes[std::uniform_int_distribution<int>(0, 3)(rng)]);
        }
        case 2:
        case 3: {
            const std::size_t rows = side(rng), cols = side(rng);
            std::vector<std::int64_t> values(rows * cols);
            const auto largest = 2 * static_cast<std::int64_t>(values.size());
            std::uniform_int_distribution<std::int64_t> index(0, largest);
            for (auto& v : values) v = index(rng);
            return *ThresholdMatrix::from_indices(rows, cols, values, error);
        }
        default: {
            const std::size_t rows = side(rng), cols = side(rng);
            std::vector<double> values(rows * cols);
            std::uniform_real_distribution<double> unit(0.0, 1.0);
            for (auto& v : values) {
                const int k = pick(rng);
                v = k == 0 ? 0.0 : k == 1 ? 1.0 : k == 2 ? 0.5 : unit(rng);
            }
            return *ThresholdMatrix::from_thresholds(rows, cols, values, error);
        }
    }
}

const std::uint32_t LEVEL_COUNTS[] = {2, 3, 4, 7, 16, 255, 256};
const float STRENGTHS[] = {0.0f, 0.3f, 1.0f};

}  // namespace

CORE_TEST(random_generator_first_values_for_seed_zero) {
    SplitMix gen = seeded(0);
    const std::uint32_t want[] = {2953000, 7701871, 8811707, 6036809};
    for (const std::uint32_t u : want) CHECK(gen.next_u() == u);
    const std::uint64_t state = random_state_from_seed(0);
    CHECK(random_unit_offset(state + GAMMA) == -0.3239874839782715f);
    for (std::size_t k = 0; k < 4; ++k) {
        const float t = random_unit_offset(state + (k + 1) * GAMMA);
        CHECK(t == static_cast<float>(want[k]) * 0x1p-24f - 0.5f);
    }
}

CORE_TEST(random_gray_row_of_128_with_seed_zero) {
    const ColorSpace space = ColorSpace::create(false);
    const Levels levels = Levels::create(2, space);
    const Bytes want = {0, 0, 255, 0, 255, 255, 0, 255};
    const std::uint64_t state = random_state_from_seed(0);
    for (const ThresholdLoop loop : LOOPS) {
        Img img = make_img(uniform(8, 128), 1, 8, 1);
        if (random_levels_on(loop, img, space, levels, 1.0f, state)) CHECK(bytes_of(img) == want);
    }
    Img img = make_img(uniform(8, 128), 1, 8, 1);
    random_levels(img, space, levels, 1.0f, state);
    CHECK(bytes_of(img) == want);
}

CORE_TEST(ordered_bayer2_on_uniform_grays) {
    const ColorSpace space = ColorSpace::create(false);
    const Levels levels = Levels::create(2, space);
    const ThresholdMatrix bayer2 = ThresholdMatrix::bayer(2);
    const struct {
        std::uint8_t value;
        Bytes want;
    } cases[] = {{128, {0, 255, 255, 0}},
                 {64, {0, 0, 255, 0}},
                 {191, {0, 255, 255, 255}},
                 {0, {0, 0, 0, 0}},
                 {255, {255, 255, 255, 255}}};
    for (const auto& c : cases) {
        for (const OrderedLevelsLoop loop : ORDERED_LOOPS) {
            Img img = make_img(uniform(4, c.value), 2, 2, 1);
            if (ordered_levels_on(loop, img, space, levels, 1.0f, bayer2)) {
                CHECK(bytes_of(img) == c.want);
            }
        }
        Img img = make_img(uniform(4, c.value), 2, 2, 1);
        ordered_levels(img, space, levels, 1.0f, bayer2);
        CHECK(bytes_of(img) == c.want);
    }
}

CORE_TEST(ordered_loops_match_the_reference_on_random_images) {
    std::mt19937_64 rng(20261207);
    std::uniform_int_distribution<std::size_t> side(1, 70);
    std::uniform_int_distribution<std::size_t> channel_count(1, 5);
    std::uniform_int_distribution<int> pick(0, 1 << 20);
    Runs runs;
    for (int round = 0; round < 500; ++round) {
        const std::size_t height = side(rng), width = side(rng), channels = channel_count(rng);
        std::optional<std::size_t> alpha;
        if (pick(rng) % 2) alpha = static_cast<std::size_t>(pick(rng)) % channels;
        const ColorSpace space = ColorSpace::create(pick(rng) % 2 == 0);
        const Levels levels = Levels::create(LEVEL_COUNTS[pick(rng) % 7], space);
        const float strength = STRENGTHS[pick(rng) % 3];
        const ThresholdMatrix matrix = random_tile(rng);
        const Bytes px = random_bytes(rng, height * width * channels);
        check_ordered(px, height, width, channels, alpha, space, levels, strength, matrix, runs);
    }
    for (const OrderedLevelsLoop loop : ORDERED_LOOPS) {
        const int ran = runs.ordered[static_cast<int>(loop)];
        const bool avx2 = loop == OrderedLevelsLoop::arithmetic_avx2 ||
                          loop == OrderedLevelsLoop::compare_avx2;
        std::printf("     ordered %-16s ran on %d images\n", loop_name(loop), ran);
        if (!avx2) CHECK(ran > 100);
    }
}

CORE_TEST(ordered_loops_on_wide_images_and_large_tiles) {
    // Rows long enough for many whole vectors and several plan periods, and
    // tiles larger than the image.
    std::mt19937_64 rng(7);
    Runs runs;
    const ColorSpace spaces[] = {ColorSpace::create(false), ColorSpace::create(true)};
    for (const ColorSpace& space : spaces) {
        for (const std::uint32_t n : LEVEL_COUNTS) {
            const Levels levels = Levels::create(n, space);
            for (const std::size_t channels : {std::size_t{1}, std::size_t{3}, std::size_t{4}}) {
                const std::optional<std::size_t> alpha =
                    channels == 4 ? std::optional<std::size_t>(3) : std::nullopt;
                const Bytes px = random_bytes(rng, 9 * 301 * channels);
                check_ordered(px, 9, 301, channels, alpha, space, levels, 1.0f,
                              ThresholdMatrix::bayer(8), runs);
                check_ordered(px, 9, 301, channels, alpha, space, levels, 0.3f, random_tile(rng),
                              runs);
                const Bytes small = random_bytes(rng, 5 * 3 * channels);
                check_ordered(small, 5, 3, channels, alpha, space, levels, 1.0f,
                              ThresholdMatrix::bayer(16), runs);
            }
        }
    }
}

CORE_TEST(ordered_loops_with_unusual_tables_and_strengths) {
    // Working values out of order (the compare form must decline or agree),
    // huge and infinite strengths (offsets of +-inf and NaN from 0 * inf).
    std::mt19937_64 rng(11);
    Runs runs;
    ColorSpace shuffled = ColorSpace::create(false);
    std::uniform_real_distribution<float> wild(-100.0f, 400.0f);
    for (auto& v : shuffled.lut) v = wild(rng);
    std::string error;
    const std::vector<double> halves = {0.5, 0.0, 1.0, 0.25, 0.5, 0.75};
    const ThresholdMatrix with_half = *ThresholdMatrix::from_thresholds(2, 3, halves, error);
    const float strengths[] = {1e30f, std::numeric_limits<float>::infinity(), 7.0f, -1.0f};
    for (const std::uint32_t n : LEVEL_COUNTS) {
        const ColorSpace plain_space = ColorSpace::create(false);
        const Levels levels = Levels::create(n, plain_space);
        const Bytes px = random_bytes(rng, 6 * 70 * 2);
        check_ordered(px, 6, 70, 2, std::nullopt, shuffled, levels, 1.0f, with_half, runs);
        for (const float s : strengths) {
            check_ordered(px, 6, 70, 2, std::nullopt, plain_space, levels, s, with_half, runs);
            check_random(px, 6, 70, 2, std::nullopt, plain_space, levels, s, 5, runs);
        }
        check_random(px, 6, 70, 2, std::size_t{1}, shuffled, levels, 1.0f, 9, runs);
    }
}

CORE_TEST(ordered_alpha_only_image_is_unchanged) {
    std::mt19937_64 rng(3);
    const ColorSpace space = ColorSpace::create(false);
    const Levels levels = Levels::create(2, space);
    const Bytes px = random_bytes(rng, 40 * 40);
    for (const OrderedLevelsLoop loop : ORDERED_LOOPS) {
        Img img = make_img(px, 40, 40, 1, std::size_t{0});
        ordered_levels_on(loop, img, space, levels, 1.0f, ThresholdMatrix::bayer(4));
        CHECK(bytes_of(img) == px);
    }
    for (const ThresholdLoop loop : LOOPS) {
        Img img = make_img(px, 40, 40, 1, std::size_t{0});
        random_levels_on(loop, img, space, levels, 1.0f, 1);
        CHECK(bytes_of(img) == px);
    }
}

CORE_TEST(random_loops_match_the_reference_on_random_images) {
    std::mt19937_64 rng(99);
    std::uniform_int_distribution<std::size_t> side(1, 70);
    std::uniform_int_distribution<std::size_t> channel_count(1, 5);
    std::uniform_int_distribution<int> pick(0, 1 << 20);
    const std::uint64_t seeds[] = {0, ~std::uint64_t{0}, 1, 0x9e3779b97f4a7c15ULL};
    Runs runs;
    for (int round = 0; round < 400; ++round) {
        const std::size_t height = side(rng), width = side(rng), channels = channel_count(rng);
        std::optional<std::size_t> alpha;
        if (pick(rng) % 2) alpha = static_cast<std::size_t>(pick(rng)) % channels;
        const ColorSpace space = ColorSpace::create(pick(rng) % 2 == 0);
        const Levels levels = Levels::create(LEVEL_COUNTS[pick(rng) % 7], space);
        const float strength = STRENGTHS[pick(rng) % 3];
        const std::uint64_t seed = round < 8 ? seeds[round % 4] : rng();
        const Bytes px = random_bytes(rng, height * width * channels);
        check_random(px, height, width, channels, alpha, space, levels, strength, seed, runs);
    }
    CHECK(runs.random[0] == 400 && runs.random[1] == 400);
    std::printf("     random avx2 ran on %d images\n", runs.random[2]);
}

CORE_TEST(random_long_runs_cross_block_boundaries) {
    // More pixels than one vector block, with channel counts that do not
    // divide it.
    std::mt19937_64 rng(5);
    Runs runs;
    const ColorSpace space = ColorSpace::create(true);
    for (const std::size_t channels : {std::size_t{1}, std::size_t{3}, std::size_t{5}}) {
        const Levels levels = Levels::create(4, space);
        const Bytes px = random_bytes(rng, 3 * 1111 * channels);
        check_random(px, 3, 1111, channels, std::size_t{channels - 1}, space, levels, 1.0f,
                     ~std::uint64_t{0}, runs);
        check_random(px, 3, 1111, channels, std::nullopt, space, levels, 0.3f, 0, runs);
    }
}

CORE_TEST(palette_loops_match_the_plain_loops) {
    std::mt19937_64 rng(17);
    std::uniform_int_distribution<std::size_t> side(1, 70);
    std::uniform_int_distribution<int> pick(0, 1 << 20);
    for (int round = 0; round < 60; ++round) {
        const std::size_t height = side(rng), width = side(rng);
        const std::size_t channels = 3 + static_cast<std::size_t>(pick(rng) % 3);
        const ColorSpace space = ColorSpace::create(round % 3 != 1 && pick(rng) % 2 == 0);
        const std::size_t colors =
            round % 10 == 0 ? 256 : 2 + static_cast<std::size_t>(pick(rng) % 40);
        Bytes list = random_bytes(rng, 3 * colors);
        // Repeated colours: the first of equally near colours must win.
        for (std::size_t j = 1; j < colors; ++j) {
            if (pick(rng) % 4 == 0) {
                const std::size_t from = static_cast<std::size_t>(pick(rng)) % j;
                std::memcpy(&list[3 * j], &list[3 * from], 3);
            }
        }
        auto palette = Palette::create(std::move(list), space);
        CHECK(palette.has_value());
        if (!palette) continue;
        const float strength = round % 3 == 1 ? 0.0f : STRENGTHS[pick(rng) % 3];
        const ThresholdMatrix matrix = random_tile(rng);
        Bytes px = random_bytes(rng, height * width * channels);
        if (round % 3 == 1) {
            // Colours and pixels on a coarse grid: many pixels lie exactly
            // midway between distinct colours, where the lower index wins.
            Bytes grid(3 * colors);
            for (auto& v : grid) v = static_cast<std::uint8_t>(2 * (pick(rng) % 4));
            palette = Palette::create(std::move(grid), ColorSpace::create(false));
            for (auto& v : px) v = static_cast<std::uint8_t>(pick(rng) % 7);
        }

        Img want = make_img(px, height, width, channels);
        CHECK(ordered_palette_on(ThresholdLoop::plain, want, space, *palette, strength, matrix));
        for (const ThresholdLoop loop : LOOPS) {
            Img img = make_img(px, height, width, channels);
            if (ordered_palette_on(loop, img, space, *palette, strength, matrix)) {
                CHECK(bytes_of(img) == bytes_of(want));
            }
        }
        Img got = make_img(px, height, width, channels);
        ordered_palette(got, space, *palette, strength, matrix);
        CHECK(bytes_of(got) == bytes_of(want));

        const std::uint64_t state = random_state_from_seed(round == 0 ? 0 : rng());
        Img plain = make_img(px, height, width, channels);
        CHECK(random_palette_on(ThresholdLoop::plain, plain, space, *palette, strength, state));
        for (const ThresholdLoop loop : LOOPS) {
            Img img = make_img(px, height, width, channels);
            if (random_palette_on(loop, img, space, *palette, strength, state)) {
                CHECK(bytes_of(img) == bytes_of(plain));
            }
        }
        Img chosen = make_img(px, height, width, channels);
        random_palette(chosen, space, *palette, strength, state);
        CHECK(bytes_of(chosen) == bytes_of(plain));
    }
}

CORE_TEST(nearest_points_match_the_sequential_rule) {
    if (!threshold_avx2_supported()) return;
    std::mt19937_64 rng(23);
    std::uniform_int_distribution<int> pick(0, 1 << 20);
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(), 1e30f, -1e30f};
    for (int round = 0; round < 200; ++round) {
        const std::size_t colors = 1 + static_cast<std::size_t>(pick(rng) % 70);
        const bool coarse = round % 2 == 0;
        std::vector<float> working(3 * colors);
        for (auto& w : working) {
            w = coarse ? static_cast<float>(2 * (pick(rng) % 3))
                       : static_cast<float>(pick(rng) % 25600) / 100.0f;
        }
        constexpr std::size_t POINTS = 72;
        std::vector<float> c0(POINTS), c1(POINTS), c2(POINTS);
        for (std::size_t i = 0; i < POINTS; ++i) {
            float* c[3] = {&c0[i], &c1[i], &c2[i]};
            for (float* v : c) {
                const int k = pick(rng) % 40;
                *v = k == 0   ? specials[pick(rng) % 5]
                     : coarse ? static_cast<float>(pick(rng) % 5)
                              : static_cast<float>(pick(rng) % 30000) / 100.0f - 20.0f;
            }
        }
        if (round % 4 == 1) {
            // Mirrored pairs of colours and points with c0 == c2: both
            // distances sum the same three squares in a different order,
            // so which one wins depends on the exact order of the sums.
            std::uniform_real_distribution<float> wide(0.0f, 3000.0f);
            for (std::size_t j = 0; j + 1 < colors; j += 2) {
                working[3 * j] = wide(rng);
                working[3 * j + 1] = wide(rng);
                working[3 * j + 2] = wide(rng);
                working[3 * j + 3] = working[3 * j + 2];
                working[3 * j + 4] = working[3 * j + 1];
                working[3 * j + 5] = working[3 * j];
            }
            for (std::size_t i = 0; i < POINTS; ++i) {
                c0[i] = c2[i] = wide(rng);
                c1[i] = wide(rng);
            }
        }
        std::vector<std::uint32_t> got(POINTS);
        nearest_points_avx2(working.data(), colors, c0.data(), c1.data(), c2.data(), POINTS,
                            got.data());
        for (std::size_t i = 0; i < POINTS; ++i) {
            CHECK(got[i] == nearest_reference(working.data(), colors, c0[i], c1[i], c2[i]));
        }
    }
}
