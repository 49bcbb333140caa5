// Ordered and random dither: worked examples, the generator's first values,
// and every loop against a plain per-pixel reference on many random images.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "image_bytes.hpp"
#include "core/color/color_space.hpp"
#include "core/color/levels.hpp"
#include "core/color/nearest_scan.hpp"
#include "core/color/palette.hpp"
#include "core/image/image.hpp"
#include "core/threshold/threshold_dither.hpp"
#include "core/threshold/threshold_loops.hpp"
#include "core/threshold/threshold_matrix.hpp"

using namespace dithering;

namespace {

using image_bytes::Bytes;
using image_bytes::bytes_of;
using image_bytes::make_img;
using image_bytes::scrambled;

constexpr std::uint64_t GAMMA = 0x9e3779b97f4a7c15ULL;

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

// Every algorithm on every instruction set it has a loop for.
struct OrderedLoop {
    OrderedLevelsAlgorithm algorithm;
    Isa isa;
};
const OrderedLoop ORDERED_LOOPS[] = {
    {OrderedLevelsAlgorithm::plain, Isa::portable},
    {OrderedLevelsAlgorithm::arithmetic, Isa::portable},
    {OrderedLevelsAlgorithm::arithmetic, Isa::avx2},
    {OrderedLevelsAlgorithm::table, Isa::portable},
    {OrderedLevelsAlgorithm::compare, Isa::vec128},
    {OrderedLevelsAlgorithm::compare, Isa::avx2}};
// Random levels have a fast loop on each; the palette passes have none on
// Isa::portable (they decline it).
struct Loop {
    ThresholdAlgorithm algorithm;
    Isa isa;
};
const Loop LOOPS[] = {{ThresholdAlgorithm::plain, Isa::portable},
                      {ThresholdAlgorithm::fast, Isa::portable},
                      {ThresholdAlgorithm::fast, Isa::avx2},
                      {ThresholdAlgorithm::fast, Isa::vec128},
                      {ThresholdAlgorithm::fast, Isa::avx512}};

std::string loop_name(OrderedLoop loop) {
    const char* names[] = {"plain", "arithmetic", "table", "compare"};
    return std::string(names[static_cast<int>(loop.algorithm)]) + " " + isa_name(loop.isa);
}

// Besides in place, every loop runs reading the input where it is into a
// separate result buffer (which starts out holding anything), writing
// through the caches and with streaming stores.
const bool STREAM_FLAGS[] = {false, true};


// How often each ordered loop actually ran in the sweeps, so that a loop
// that silently declines everything is noticed.
struct Runs {
    int ordered[std::size(ORDERED_LOOPS)] = {};
    int random[std::size(LOOPS)] = {};
};

// Every ordered loop that runs, and the chosen one, against the reference.
void check_ordered(const Bytes& px, std::size_t height, std::size_t width, std::size_t channels,
                   std::optional<std::size_t> alpha, const ColorSpace& space,
                   const Levels& levels, float strength, const ThresholdMatrix& matrix,
                   Runs& runs) {
    const Bytes want =
        reference_ordered(px, height, width, channels, alpha, space, levels, strength, matrix);
    for (std::size_t k = 0; k < std::size(ORDERED_LOOPS); ++k) {
        const OrderedLoop loop = ORDERED_LOOPS[k];
        Img img = make_img(px, height, width, channels, alpha);
        if (!ordered_levels_on(loop.algorithm, loop.isa, img.view(), space, levels, strength,
                               matrix)) {
            CHECK(bytes_of(img) == px);  // a loop that declines leaves the image alone
            continue;
        }
        ++runs.ordered[k];
        const bool same = bytes_of(img) == want;
        if (!same) {
            std::fprintf(stderr,
                         "ordered %s: %zux%zux%zu alpha %d levels %u strength %g linear %d "
                         "tile %zux%zu\n",
                         loop_name(loop).c_str(), height, width, channels, alpha ? int(*alpha) : -1,
                         levels.count, double(strength), int(space.linear), matrix.rows,
                         matrix.cols);
        }
        CHECK(same);
        for (const bool stream : STREAM_FLAGS) {
            const Bytes garbage = scrambled(px);
            Img out = make_img(garbage, height, width, channels, alpha);
            const PassIo io{px.data(), stream};
            if (!ordered_levels_on(loop.algorithm, loop.isa, out.view(), space, levels, strength,
                                   matrix, io)) {
                CHECK(bytes_of(out) == garbage);
                continue;
            }
            const bool separate_same = bytes_of(out) == want;
            if (!separate_same) {
                std::fprintf(stderr, "ordered %s from a separate input (stream %d): %zux%zux%zu\n",
                             loop_name(loop).c_str(), int(stream), height, width, channels);
            }
            CHECK(separate_same);
        }
    }
    Img img = make_img(px, height, width, channels, alpha);
    ordered_levels(img.view(), space, levels, strength, matrix);
    CHECK(bytes_of(img) == want);
    Img out = make_img(scrambled(px), height, width, channels, alpha);
    ordered_levels(out.view(), space, levels, strength, matrix, px.data());
    CHECK(bytes_of(out) == want);
}

void check_random(const Bytes& px, std::size_t height, std::size_t width, std::size_t channels,
                  std::optional<std::size_t> alpha, const ColorSpace& space, const Levels& levels,
                  float strength, std::uint64_t seed, Runs& runs) {
    const Bytes want =
        reference_random(px, height * width, channels, alpha, space, levels, strength, seed);
    const std::uint64_t state = random_state_from_seed(seed);
    for (std::size_t k = 0; k < std::size(LOOPS); ++k) {
        const Loop loop = LOOPS[k];
        Img img = make_img(px, height, width, channels, alpha);
        if (!random_levels_on(loop.algorithm, loop.isa, img.view(), space, levels, strength,
                              state)) {
            continue;
        }
        ++runs.random[k];
        const bool same = bytes_of(img) == want;
        if (!same) {
            std::fprintf(stderr, "random loop %zu: %zux%zux%zu levels %u strength %g\n",
                         k, height, width, channels, levels.count, double(strength));
        }
        CHECK(same);
        for (const bool stream : STREAM_FLAGS) {
            const Bytes garbage = scrambled(px);
            Img out = make_img(garbage, height, width, channels, alpha);
            const PassIo io{px.data(), stream};
            if (!random_levels_on(loop.algorithm, loop.isa, out.view(), space, levels, strength,
                                  state, io)) {
                CHECK(bytes_of(out) == garbage);
                continue;
            }
            const bool separate_same = bytes_of(out) == want;
            if (!separate_same) {
                std::fprintf(stderr,
                             "random loop %zu from a separate input (stream %d): %zux%zux%zu "
                             "levels %u strength %g\n",
                             k, int(stream), height, width, channels, levels.count,
                             double(strength));
            }
            CHECK(separate_same);
        }
    }
    Img img = make_img(px, height, width, channels, alpha);
    random_levels(img.view(), space, levels, strength, state);
    CHECK(bytes_of(img) == want);
    Img out = make_img(scrambled(px), height, width, channels, alpha);
    random_levels(out.view(), space, levels, strength, state, px.data());
    CHECK(bytes_of(out) == want);
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
    for (const Loop loop : LOOPS) {
        Img img = make_img(uniform(8, 128), 1, 8, 1);
        if (random_levels_on(loop.algorithm, loop.isa, img.view(), space, levels, 1.0f, state)) {
            CHECK(bytes_of(img) == want);
        }
    }
    Img img = make_img(uniform(8, 128), 1, 8, 1);
    random_levels(img.view(), space, levels, 1.0f, state);
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
        for (const OrderedLoop loop : ORDERED_LOOPS) {
            Img img = make_img(uniform(4, c.value), 2, 2, 1);
            if (ordered_levels_on(loop.algorithm, loop.isa, img.view(), space, levels, 1.0f,
                                  bayer2)) {
                CHECK(bytes_of(img) == c.want);
            }
        }
        Img img = make_img(uniform(4, c.value), 2, 2, 1);
        ordered_levels(img.view(), space, levels, 1.0f, bayer2);
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
    for (std::size_t k = 0; k < std::size(ORDERED_LOOPS); ++k) {
        const OrderedLoop loop = ORDERED_LOOPS[k];
        const int ran = runs.ordered[k];
        const bool avx2 = loop.isa == Isa::avx2;
        std::printf("     ordered %-19s ran on %d images\n", loop_name(loop).c_str(), ran);
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
    for (const OrderedLoop loop : ORDERED_LOOPS) {
        Img img = make_img(px, 40, 40, 1, std::size_t{0});
        ordered_levels_on(loop.algorithm, loop.isa, img.view(), space, levels, 1.0f,
                          ThresholdMatrix::bayer(4));
        CHECK(bytes_of(img) == px);
    }
    for (const Loop loop : LOOPS) {
        Img img = make_img(px, 40, 40, 1, std::size_t{0});
        random_levels_on(loop.algorithm, loop.isa, img.view(), space, levels, 1.0f, 1);
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
    std::printf("     random avx2 ran on %d images, avx512 on %d\n", runs.random[2],
                runs.random[4]);
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

// Every loop that runs (run_on(loop, view, io) true) gives the plain
// loop's bytes, in place and from the input read separately, and leaves
// the output alone where it declines; so does the automatic choice,
// run(view, source), both ways.
template <class RunOn, class Run>
void check_palette_loops(const Bytes& px, std::size_t height, std::size_t width,
                         std::size_t channels, RunOn run_on, Run run) {
    Img want = make_img(px, height, width, channels);
    CHECK(run_on(Loop{ThresholdAlgorithm::plain, Isa::portable}, want.view(), PassIo{}));
    for (const Loop loop : LOOPS) {
        Img img = make_img(px, height, width, channels);
        if (run_on(loop, img.view(), PassIo{})) CHECK(bytes_of(img) == bytes_of(want));
        const Bytes garbage = scrambled(px);
        Img out = make_img(garbage, height, width, channels);
        if (run_on(loop, out.view(), PassIo{px.data(), true})) {
            CHECK(bytes_of(out) == bytes_of(want));
        } else {
            CHECK(bytes_of(out) == garbage);
        }
    }
    Img chosen = make_img(px, height, width, channels);
    run(chosen.view(), nullptr);
    CHECK(bytes_of(chosen) == bytes_of(want));
    Img separate = make_img(scrambled(px), height, width, channels);
    run(separate.view(), px.data());
    CHECK(bytes_of(separate) == bytes_of(want));
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
            round % 10 == 0   ? 256
            : round % 10 == 5 ? 65 + static_cast<std::size_t>(pick(rng) % 400)
                              : 2 + static_cast<std::size_t>(pick(rng) % 40);
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

        check_palette_loops(px, height, width, channels,
                            [&](Loop loop, ImageView img, PassIo io) {
                                return ordered_palette_on(loop.algorithm, loop.isa, img, space,
                                                          *palette, strength, matrix, io);
                            },
                            [&](ImageView img, const std::uint8_t* source) {
                                ordered_palette(img, space, *palette, strength, matrix, source);
                            });
        const std::uint64_t state = random_state_from_seed(round == 0 ? 0 : rng());
        check_palette_loops(px, height, width, channels,
                            [&](Loop loop, ImageView img, PassIo io) {
                                return random_palette_on(loop.algorithm, loop.isa, img, space,
                                                         *palette, strength, state, io);
                            },
                            [&](ImageView img, const std::uint8_t* source) {
                                random_palette(img, space, *palette, strength, state, source);
                            });
    }
}

#if DITHERING_ARCH_X86
CORE_TEST(nearest_points_match_the_sequential_rule) {
    if (!isa_available(Isa::avx2)) return;
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
        if (!isa_available(Isa::avx512)) continue;
        // 72 points: four groups of sixteen, then the AVX2 tail of eight.
        std::vector<std::uint32_t> wide(POINTS, 0xffffffffu);
        nearest_points_avx512(working.data(), colors, c0.data(), c1.data(), c2.data(), POINTS,
                              wide.data());
        CHECK(wide == got);
    }
}
#endif  // DITHERING_ARCH_X86

namespace {

// One byte of a compare row, written out from the lane layout.
std::uint8_t compare_reference(std::uint8_t b, const std::vector<std::uint8_t>& lanes,
                               std::size_t lane, std::size_t stride, std::size_t terms,
                               bool keep) {
    std::uint8_t out = lanes[lane];
    for (std::size_t j = 0; j < terms; ++j) {
        const std::uint8_t bound = lanes[(1 + 2 * j) * stride + lane];
        const std::uint8_t step = lanes[(2 + 2 * j) * stride + lane];
        if (b > bound) out = static_cast<std::uint8_t>(out + step);
    }
    if (keep && lanes[(1 + 2 * terms) * stride + lane] != 0) {
        out = static_cast<std::uint8_t>(out | b);
    }
    return out;
}

}  // namespace

CORE_TEST(compare_rows_at_every_alignment_and_length) {
    // Rows starting at every offset from a vector boundary (the streaming
    // form begins with a partial vector up to the first aligned one), of
    // lengths around whole vectors, for plans of one and several vectors.
    std::mt19937_64 rng(31);
    std::uniform_int_distribution<int> byte(0, 255);
    for (const std::size_t period : {std::size_t{32}, std::size_t{96}, std::size_t{224}}) {
        for (std::size_t terms = 0; terms <= 5; ++terms) {
            for (const bool keep : {false, true}) {
                const std::size_t stride = period + COMPARE_PERIOD_UNIT;
                std::vector<std::uint8_t> lanes(stride * (2 + 2 * terms));
                for (std::size_t block = 0; block < 2 + 2 * terms; ++block) {
                    for (std::size_t lane = 0; lane < period; ++lane) {
                        std::uint8_t v = static_cast<std::uint8_t>(byte(rng));
                        if (keep && block == 1 + 2 * terms) v = v % 3 == 0 ? 0xff : 0;
                        lanes[block * stride + lane] = v;
                    }
                    for (std::size_t lane = period; lane < stride; ++lane) {
                        lanes[block * stride + lane] = lanes[block * stride + lane - period];
                    }
                }
                const CompareRow row{lanes.data(), period, stride, terms, keep};
                for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{31},
                                                std::size_t{32}, std::size_t{33}, std::size_t{95},
                                                std::size_t{257}, std::size_t{500}}) {
                    Bytes src(count + 64), dst(count + 64);
                    for (auto& b : src) b = static_cast<std::uint8_t>(byte(rng));
                    for (std::size_t offset = 0; offset < 32; offset += (terms == 1 ? 1 : 5)) {
                        Bytes want(count);
                        for (std::size_t i = 0; i < count; ++i) {
                            want[i] = compare_reference(src[offset + i], lanes, i % period,
                                                        stride, terms, keep);
                        }
                        for (int form = 0; form < 3; ++form) {
                            if (form > 0 && !isa_available(Isa::avx2)) continue;
                            std::fill(dst.begin(), dst.end(), std::uint8_t{0x5a});
                            // The destination at another offset than the source.
                            std::uint8_t* out = dst.data() + (offset * 7) % 32;
                            if (form == 0) {
                                compare_row_vec128(src.data() + offset, out, count, row);
                            } else {
#if DITHERING_ARCH_X86
                                compare_row_avx2(src.data() + offset, out, count, row, form == 2);
                                finish_streaming();
#endif
                            }
                            CHECK(Bytes(out, out + count) == want);
                            // Nothing written past the row.
                            CHECK(out[count] == 0x5a);
                        }
                        // In place.
                        Bytes same(src.begin() + static_cast<std::ptrdiff_t>(offset),
                                   src.begin() + static_cast<std::ptrdiff_t>(offset + count));
                        compare_row_vec128(same.data(), same.data(), count, row);
                        CHECK(same == want);
                    }
                }
            }
        }
    }
}

#if DITHERING_ARCH_X86
namespace {

// The smallest float v with reference level >= level, found by bisection
// over the floats in order (an independent writing of the library's).
float reference_bound(const Levels& levels, std::uint32_t level) {
    auto key = [](float f) {
        std::uint32_t b;
        std::memcpy(&b, &f, 4);
        return (b & 0x80000000u) ? ~b : b | 0x80000000u;
    };
    auto value = [](std::uint32_t k) {
        const std::uint32_t b = (k & 0x80000000u) ? k & 0x7fffffffu : ~k;
        float f;
        std::memcpy(&f, &b, 4);
        return f;
    };
    auto level_of = [&](float v) {
        float r = std::roundf(v * levels.inv_step);
        if (r < 0.0f) r = 0.0f;
        if (r > levels.top) r = levels.top;
        return std::isnan(r) ? 0u : static_cast<std::uint32_t>(r);
    };
    std::uint32_t lo = key(-std::numeric_limits<float>::infinity());
    std::uint32_t hi = key(std::numeric_limits<float>::infinity());
    while (hi - lo > 1) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        (level_of(value(mid)) >= level ? hi : lo) = mid;
    }
    return value(hi);
}

}  // namespace

CORE_TEST(random_few_levels_at_every_alignment_and_length) {
    if (!isa_available(Isa::avx2)) return;
    std::mt19937_64 rng(37);
    for (const bool linear : {false, true}) {
        const ColorSpace space = ColorSpace::create(linear);
        for (std::uint32_t n = 2; n <= 4; ++n) {
            const Levels levels = Levels::create(n, space);
            for (const float strength : {0.0f, 0.3f, 1.0f}) {
                RandomFewLevels params{};
                params.lut = linear ? space.lut.data() : nullptr;
                params.amp = strength * levels.step;
                params.amp_2_32 = params.amp * 0x1p-32f;
                params.terms = n - 1;
                for (std::uint32_t j = 0; j + 1 < n; ++j) {
                    params.bounds[j] = reference_bound(levels, j + 1);
                }
                for (std::uint32_t i = 0; i < n; ++i) params.codes[i] = levels.codes[i];
                const std::uint64_t state = rng();
                for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{7},
                                                std::size_t{31}, std::size_t{32}, std::size_t{33},
                                                std::size_t{65}, std::size_t{1000}}) {
                    const Bytes px = random_bytes(rng, count + 64);
                    for (std::size_t offset = 0; offset < 32; offset += 3) {
                        const Bytes input(px.begin() + static_cast<std::ptrdiff_t>(offset),
                                          px.begin() + static_cast<std::ptrdiff_t>(offset + count));
                        // The reference takes the seed, which the state is
                        // mixed from.
                        const std::uint64_t seed = state ^ 0xd1b54a32d192ed03ULL;
                        const Bytes want = reference_random(input, count, 1, std::nullopt, space,
                                                            levels, strength, seed);
                        for (const bool stream : {false, true}) {
                            Bytes dst(count + 64, 0x5a);
                            std::uint8_t* out = dst.data() + (offset * 11) % 32;
                            random_few_levels_avx2(input.data(), out, count, state, params,
                                                   stream);
                            finish_streaming();
                            CHECK(Bytes(out, out + count) == want);
                            CHECK(out[count] == 0x5a);
                        }
                    }
                }
            }
        }
    }
}
#endif  // DITHERING_ARCH_X86

CORE_TEST(every_level_count_in_both_spaces) {
    std::mt19937_64 rng(41);
    Runs runs;
    for (const bool linear : {false, true}) {
        const ColorSpace space = ColorSpace::create(linear);
        for (std::uint32_t n = 2; n <= 256; ++n) {
            const Levels levels = Levels::create(n, space);
            for (const float strength : {0.0f, 1.0f}) {
                const Bytes px = random_bytes(rng, 3 * 70);
                check_ordered(px, 3, 70, 1, std::nullopt, space, levels, strength,
                              ThresholdMatrix::bayer(8), runs);
                check_random(px, 3, 70, 1, std::nullopt, space, levels, strength, rng(), runs);
                check_random(px, 2, 35, 3, std::nullopt, space, levels, strength, rng(), runs);
            }
        }
    }
}

CORE_TEST(sizes_around_the_vector_width) {
    std::mt19937_64 rng(43);
    Runs runs;
    const ColorSpace space = ColorSpace::create(false);
    const std::size_t widths[] = {1, 2, 15, 16, 17, 31, 32, 33, 63, 64, 65, 95, 96, 97};
    for (const std::size_t height : {std::size_t{1}, std::size_t{2}, std::size_t{9}}) {
        for (const std::size_t width : widths) {
            for (const std::size_t channels : {std::size_t{1}, std::size_t{2}, std::size_t{4}}) {
                const std::optional<std::size_t> alpha =
                    channels == 1 ? std::nullopt : std::optional<std::size_t>(channels - 1);
                for (const std::uint32_t n : {2u, 4u, 5u}) {
                    const Levels levels = Levels::create(n, space);
                    const Bytes px = random_bytes(rng, height * width * channels);
                    check_ordered(px, height, width, channels, alpha, space, levels, 1.0f,
                                  ThresholdMatrix::bayer(8), runs);
                    check_ordered(px, height, width, channels, std::nullopt, space, levels, 1.0f,
                                  random_tile(rng), runs);
                    check_random(px, height, width, channels, alpha, space, levels, 1.0f, rng(),
                                 runs);
                }
            }
        }
    }
}

CORE_TEST(tiny_strengths_keep_their_offsets) {
    // An amplitude so small that scaling it by 2^-32 would lose bits: the
    // one-pass random loop must step aside for the others.
    std::mt19937_64 rng(47);
    Runs runs;
    const ColorSpace space = ColorSpace::create(false);
    const Bytes px = random_bytes(rng, 4 * 90);
    for (const float strength : {1e-38f, 1e-30f, 3e-45f, 0x1p-100f}) {
        for (const std::uint32_t n : {2u, 3u, 4u}) {
            const Levels levels = Levels::create(n, space);
            check_random(px, 4, 90, 1, std::nullopt, space, levels, strength, 3, runs);
            check_ordered(px, 4, 90, 1, std::nullopt, space, levels, strength,
                          ThresholdMatrix::bayer(4), runs);
        }
    }
    // Grays exactly at the middle, where the smallest offsets decide.
    const Bytes middle(4 * 90, 127);
    const Levels two = Levels::create(2, space);
    check_random(middle, 4, 90, 1, std::nullopt, space, two, 1e-38f, 5, runs);
}

CORE_TEST(large_images_take_the_streaming_stores) {
    // Results of STREAM_MIN_BYTES or more are written with streaming stores
    // by the automatic choice.
    std::mt19937_64 rng(53);
    const std::size_t height = 1100, width = (STREAM_MIN_BYTES + height - 1) / height + 3;
    const Bytes px = random_bytes(rng, height * width);
    const ColorSpace space = ColorSpace::create(false);
    for (const std::uint32_t n : {2u, 4u}) {
        const Levels levels = Levels::create(n, space);
        const ThresholdMatrix bayer = ThresholdMatrix::bayer(8);
        const Bytes want_ordered = reference_ordered(px, height, width, 1, std::nullopt, space,
                                                     levels, 1.0f, bayer);
        Img ordered = make_img(scrambled(px), height, width, 1);
        ordered_levels(ordered.view(), space, levels, 1.0f, bayer, px.data());
        CHECK(bytes_of(ordered) == want_ordered);
        const std::uint64_t seed = 12345;
        const Bytes want_random =
            reference_random(px, height * width, 1, std::nullopt, space, levels, 1.0f, seed);
        Img random = make_img(scrambled(px), height, width, 1);
        random_levels(random.view(), space, levels, 1.0f, random_state_from_seed(seed), px.data());
        CHECK(bytes_of(random) == want_random);
    }
}

namespace {

// The generator's mix is a bijection of 64-bit words, so a state can be
// chosen whose draw is any given u: undo each step of the mix.
std::uint64_t undo_xorshift(std::uint64_t y, int shift) {
    std::uint64_t x = y;
    for (int i = 0; i < 64 / shift + 1; ++i) x = y ^ (x >> shift);
    return x;
}

std::uint64_t inverse_odd(std::uint64_t m) {
    std::uint64_t inv = m;  // Newton's iteration doubles the correct low bits
    for (int i = 0; i < 6; ++i) inv *= 2 - m * inv;
    return inv;
}

// An incremented state whose draw has top 24 bits u (low bits from `fill`).
std::uint64_t state_drawing(std::uint32_t u, std::uint64_t fill) {
    const std::uint64_t low_bits = fill & ((std::uint64_t{1} << 40) - 1);
    std::uint64_t z = (static_cast<std::uint64_t>(u) << 40) | low_bits;
    z = undo_xorshift(z, 31);
    z *= inverse_odd(0x94d049bb133111ebULL);
    z = undo_xorshift(z, 27);
    z *= inverse_odd(0xbf58476d1ce4e5b9ULL);
    return undo_xorshift(z, 30);
}

std::uint32_t draw_u(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return static_cast<std::uint32_t>((z ^ (z >> 31)) >> 40);
}

}  // namespace

CORE_TEST(random_draws_steered_onto_every_level_transition) {
    // For each byte, the draws u where its level steps up (found by
    // bisection with the reference rounding), and the draw just below: a
    // pixel with that byte gets that draw at every position of a run, so
    // that each vector lane meets the transitions. Comparisons that are off
    // by one float at a bound only show here.
    std::mt19937_64 rng(59);
    {
        const std::uint64_t z = state_drawing(0xabcdef, rng());
        CHECK(draw_u(z) == 0xabcdefu);
    }
    Runs runs;
    int transitions = 0;
    for (const bool linear : {false, true}) {
        const ColorSpace space = ColorSpace::create(linear);
        for (std::uint32_t n = 2; n <= 5; ++n) {
            const Levels levels = Levels::create(n, space);
            for (const float strength : {1.0f, 0.3f}) {
                const float amp = strength * levels.step;
                auto level_at = [&](std::uint8_t b, std::uint32_t u) {
                    const float t = static_cast<float>(u) * 0x1p-24f - 0.5f;
                    float r = std::roundf((space.lut[b] + t * amp) * levels.inv_step);
                    if (r < 0.0f) r = 0.0f;
                    if (r > levels.top) r = levels.top;
                    return static_cast<std::uint32_t>(r);
                };
                for (std::size_t b = 0; b < 256; b += (n == 2 ? 1 : 3)) {
                    const auto byte = static_cast<std::uint8_t>(b);
                    const std::uint32_t low = level_at(byte, 0);
                    const std::uint32_t high = level_at(byte, (1u << 24) - 1);
                    for (std::uint32_t j = low + 1; j <= high; ++j) {
                        std::uint32_t lo = 0, hi = (1u << 24) - 1;  // level(lo) < j <= level(hi)
                        while (hi - lo > 1) {
                            const std::uint32_t mid = lo + (hi - lo) / 2;
                            (level_at(byte, mid) >= j ? hi : lo) = mid;
                        }
                        ++transitions;
                        for (const std::uint32_t u : {lo, hi}) {
                            const std::size_t at = static_cast<std::size_t>(rng() % 64);
                            Bytes px = random_bytes(rng, 70);
                            px[at] = byte;
                            // Pixel `at` uses the state after at + 1 increments.
                            const std::uint64_t state =
                                state_drawing(u, rng()) - (at + 1) * GAMMA;
                            const std::uint64_t seed = random_state_from_seed(state);
                            check_random(px, 1, 70, 1, std::nullopt, space, levels, strength,
                                         seed, runs);
                        }
                    }
                }
            }
        }
    }
    std::printf("     %d transitions, each from both sides\n", transitions);
    CHECK(transitions > 1000);
}

CORE_TEST(compare_rows_in_the_level_form) {
    // The level form counts bounds below the byte and looks the code up:
    // random plans of every shape in that layout, against the count
    // written out, at every alignment, in the AVX2 loop (with and without
    // streaming stores) and the 128-bit one.
    std::mt19937_64 rng(61);
    std::uniform_int_distribution<int> byte(0, 255);
    for (const std::size_t period : {std::size_t{32}, std::size_t{64}, std::size_t{160}}) {
        for (std::size_t terms = 1; terms <= 6; ++terms) {
            for (const bool keep : {false, true}) {
                const std::size_t stride = period + COMPARE_PERIOD_UNIT;
                const std::size_t blocks = 1 + terms + (keep ? 1 : 0);
                std::vector<std::uint8_t> lanes(stride * blocks);
                std::uint8_t codes[16];
                for (auto& c : codes) c = static_cast<std::uint8_t>(byte(rng));
                for (std::size_t lane = 0; lane < period; ++lane) {
                    const bool kept = keep && byte(rng) % 4 == 0;
                    const auto level = static_cast<std::size_t>(byte(rng)) % (16 - terms);
                    lanes[lane] = kept ? std::uint8_t{0x80} : static_cast<std::uint8_t>(level);
                    // Non-decreasing bounds, some unused (255).
                    std::vector<int> bounds(terms);
                    for (auto& b : bounds) b = byte(rng);
                    std::sort(bounds.begin(), bounds.end());
                    for (std::size_t j = 0; j < terms; ++j) {
                        const int bound = kept ? 255 : bounds[j];
                        lanes[(1 + j) * stride + lane] = static_cast<std::uint8_t>(bound ^ 0x80);
                    }
                    if (keep) lanes[(1 + terms) * stride + lane] = kept ? 0xff : 0;
                }
                for (std::size_t block = 0; block < blocks; ++block) {
                    for (std::size_t lane = period; lane < stride; ++lane) {
                        lanes[block * stride + lane] = lanes[block * stride + lane - period];
                    }
                }
                const CompareRow row{lanes.data(), period, stride, terms, keep, codes};
                for (const std::size_t count : {std::size_t{1}, std::size_t{32}, std::size_t{33},
                                                std::size_t{100}, std::size_t{481}}) {
                    Bytes src(count + 64);
                    for (auto& b : src) b = static_cast<std::uint8_t>(byte(rng));
                    for (std::size_t offset = 0; offset < 32; offset += 3) {
                        Bytes want(count);
                        for (std::size_t i = 0; i < count; ++i) {
                            const std::size_t lane = i % period;
                            const std::uint8_t b = src[offset + i];
                            if (lanes[lane] == 0x80) {
                                want[i] = b;
                                continue;
                            }
                            std::size_t level = lanes[lane];
                            for (std::size_t j = 0; j < terms; ++j) {
                                if (b > (lanes[(1 + j) * stride + lane] ^ 0x80)) ++level;
                            }
                            want[i] = codes[level];
                        }
                        for (const int form : {0, 1, 2}) {
                            Bytes dst(count + 64, 0x5a);
                            std::uint8_t* out = dst.data() + (offset * 5) % 32;
                            if (form == 0) {
                                compare_row_vec128(src.data() + offset, out, count, row);
                            } else {
#if DITHERING_ARCH_X86
                                if (!isa_available(Isa::avx2)) continue;
                                compare_row_avx2(src.data() + offset, out, count, row, form == 2);
                                finish_streaming();
#else
                                continue;
#endif
                            }
                            CHECK(Bytes(out, out + count) == want);
                            CHECK(out[count] == 0x5a);
                        }
                    }
                }
            }
        }
    }
}

CORE_TEST(threshold_loops_without_a_form_decline) {
    // The tables' empty entries: the reference only on Isa::portable, the
    // table only there, the compares and the palette passes never there.
    const ColorSpace space = ColorSpace::create(false);
    const Levels levels = Levels::create(2, space);
    const Palette palette = *Palette::create(Bytes{0, 0, 0, 255, 255, 255}, space);
    const ThresholdMatrix bayer = ThresholdMatrix::bayer(4);
    const Bytes px = uniform(8 * 8 * 3, 100);
    const auto declines = [&](auto run) {
        Img img = make_img(px, 8, 8, 3);
        return !run(img) && bytes_of(img) == px;
    };
    for (const Isa isa : {Isa::vec128, Isa::avx2}) {
        for (const auto algorithm :
             {OrderedLevelsAlgorithm::plain, OrderedLevelsAlgorithm::table}) {
            CHECK(declines([&](Img& img) {
                return ordered_levels_on(algorithm, isa, img.view(), space, levels, 1.0f, bayer);
            }));
        }
        CHECK(declines([&](Img& img) {
            return random_levels_on(ThresholdAlgorithm::plain, isa, img.view(), space, levels, 1.0f,
                                    1);
        }));
    }
    CHECK(declines([&](Img& img) {
        return ordered_levels_on(OrderedLevelsAlgorithm::compare, Isa::portable, img.view(), space,
                                 levels, 1.0f, bayer);
    }));
    CHECK(declines([&](Img& img) {
        return ordered_palette_on(ThresholdAlgorithm::fast, Isa::portable, img.view(), space,
                                  palette, 1.0f, bayer);
    }));
    CHECK(declines([&](Img& img) {
        return random_palette_on(ThresholdAlgorithm::fast, Isa::portable, img.view(), space,
                                 palette, 1.0f, 1);
    }));
    // The 128-bit palette loops run on every processor.
    Img img = make_img(px, 8, 8, 3);
    CHECK(ordered_palette_on(ThresholdAlgorithm::fast, Isa::vec128, img.view(), space, palette,
                             1.0f, bayer));
    Img drawn = make_img(px, 8, 8, 3);
    CHECK(random_palette_on(ThresholdAlgorithm::fast, Isa::vec128, drawn.view(), space, palette,
                            1.0f, 1));
}
