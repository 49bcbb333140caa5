// Fuzz harness: ordered and random dither, to levels and to a palette,
// every loop against the plain one.
//
// One case: an image of up to 4096 pixels (rows of 1..160 pixels, 1..4
// channels for levels with or without an alpha channel left alone, 3 or 4
// for a palette), 2..256 levels or a palette of 2..1024 colours in one of
// the shapes of fuzz_case.hpp, sRGB or linear light, a strength anywhere
// in 0..1 (any float the bits spell), a tile (Bayer, or any indices or
// thresholds the fuzzer gives, up to 9 x 9) or a seed. Every loop of
// each algorithm on every instruction set this processor runs, in place and
// from a separate input (with and without streaming stores), and the
// automatic entry points, against the plain loop byte for byte; a loop
// that declines must leave the image as it was.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/color/color_space.hpp"
#include "core/color/levels.hpp"
#include "core/color/palette.hpp"
#include "core/image/image.hpp"
#include "core/threshold/threshold_dither.hpp"
#include "core/threshold/threshold_matrix.hpp"
#include "fuzz_case.hpp"
#include "image_bytes.hpp"

using namespace dithering;
using fuzz::Bytes;
using image_bytes::bytes_of;
using image_bytes::make_img;
using image_bytes::scrambled;

namespace {

// A strength in 0..1: the usual ones, or any float in that range.
float decode_strength(fuzz::Reader& in) {
    const std::uint8_t mode = in.byte();
    const std::uint32_t bits = in.u32();
    switch (mode % 4) {
        case 0: return 1.0f;
        case 1: return 0.0f;
        case 2: return static_cast<float>(bits & 255) / 255.0f;
        default: return std::bit_cast<float>(bits % 0x3f800001u);  // +0 .. 1.0
    }
}

ThresholdMatrix decode_matrix(fuzz::Reader& in, fuzz::Story& story) {
    const std::uint8_t kind = in.byte();
    const std::size_t rows = 1 + in.byte() % 9, cols = 1 + in.byte() % 9;
    std::string error;
    if (kind % 3 == 1) {
        std::vector<std::int64_t> indices(rows * cols);
        for (auto& v : indices) v = in.byte() % (1 + kind / 3 % 128);
        auto matrix = ThresholdMatrix::from_indices(rows, cols, indices, error);
        if (matrix) {
            story.add("tile: %zu x %zu indices", rows, cols);
            return *matrix;
        }
    } else if (kind % 3 == 2) {
        std::vector<double> thresholds(rows * cols);
        for (auto& v : thresholds) v = static_cast<double>(in.byte()) / 255.0;
        auto matrix = ThresholdMatrix::from_thresholds(rows, cols, thresholds, error);
        if (matrix) {
            story.add("tile: %zu x %zu thresholds", rows, cols);
            return *matrix;
        }
    }
    const std::size_t n = std::size_t{1} << (kind / 3 % 5);
    story.add("tile: Bayer %zu", n);
    return ThresholdMatrix::bayer(n);
}

const char* ordered_name(OrderedLevelsAlgorithm algorithm) {
    switch (algorithm) {
        case OrderedLevelsAlgorithm::plain: return "ordered plain";
        case OrderedLevelsAlgorithm::arithmetic: return "ordered arithmetic";
        case OrderedLevelsAlgorithm::table: return "ordered table";
        case OrderedLevelsAlgorithm::compare: return "ordered compare";
    }
    return "?";
}

struct Shape {
    std::size_t height, width, channels;
    std::optional<std::size_t> alpha;
};

// Runs `run(img, io)` for a loop in place and from a separate input (with
// and without streaming stores) and compares each result with `want`.
template <typename Run>
void check_loop(const fuzz::Story& story, const std::string& name, const Bytes& px,
                const Shape& s, const Bytes& want, const Run& run) {
    Img img = make_img(px, s.height, s.width, s.channels, s.alpha);
    if (run(img, PassIo{})) {
        fuzz::expect_same_image(story, name.c_str(), want, bytes_of(img), s.width, s.channels);
    } else {
        fuzz::expect_same_image(story, (name + " (declined, yet wrote)").c_str(), px,
                                bytes_of(img), s.width, s.channels);
    }
    for (const bool stream : {false, true}) {
        const Bytes garbage = scrambled(px);
        Img out = make_img(garbage, s.height, s.width, s.channels, s.alpha);
        const std::string form = name + (stream ? " (separate input, streaming)"
                                                : " (separate input)");
        if (run(out, PassIo{px.data(), stream})) {
            fuzz::expect_same_image(story, form.c_str(), want, bytes_of(out), s.width,
                                    s.channels);
        } else {
            fuzz::expect_same_image(story, (form + " (declined, yet wrote)").c_str(), garbage,
                                    bytes_of(out), s.width, s.channels);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    fuzz::Story story;
    const std::uint8_t mode = in.byte();
    const bool to_palette = (mode & 1) != 0;
    const bool ordered = (mode & 2) != 0;
    Shape s{};
    s.width = in.in_range(1, 160);
    s.height = in.in_range(1, std::min<std::size_t>(64, 4096 / s.width));
    s.channels = to_palette ? in.in_range(3, 4) : in.in_range(1, 4);
    const std::uint8_t alpha_byte = in.byte();
    if (!to_palette && alpha_byte % 2 == 1) s.alpha = alpha_byte / 2 % s.channels;
    const bool linear = in.flag();
    const float strength = decode_strength(in);
    const ColorSpace space = ColorSpace::create(linear);
    story.add("%s dither to %s: %zu x %zu x %zu, alpha %d, %s, strength %.9g",
              ordered ? "ordered" : "random", to_palette ? "a palette" : "levels", s.height,
              s.width, s.channels, s.alpha ? static_cast<int>(*s.alpha) : -1,
              linear ? "linear" : "sRGB", static_cast<double>(strength));
    const ThresholdMatrix matrix = ordered ? decode_matrix(in, story) : ThresholdMatrix::bayer(1);
    const std::uint64_t seed = in.u64();
    const std::uint64_t state = random_state_from_seed(seed);
    if (!ordered) story.add("seed %llu", static_cast<unsigned long long>(seed));

    std::optional<Palette> palette;
    Levels levels{};
    if (to_palette) {
        const std::uint8_t band = in.byte();
        const std::size_t colors = band % 3 == 0   ? in.in_range(2, 16)
                                   : band % 3 == 1 ? in.in_range(17, 64)
                                                   : in.in_range(65, 1024);
        std::string shape;
        Bytes colours = fuzz::make_palette(in, colors, shape);
        story.add("palette shape %s", shape.c_str());
        story.add_palette(colours);
        palette = Palette::create(std::move(colours), space);
        if (!palette) fuzz::disagree(story, "Palette::create", "out of memory");
    } else {
        const std::uint8_t b = in.byte();
        const std::uint32_t count = b < 192 ? 2 + b % 15 : 2 + (b - 192) * 4 % 255;
        levels = Levels::create(count, space);
        story.add("%u levels", count);
    }
    std::string style;
    const Bytes px = fuzz::make_pixels(in, s.height * s.width * s.channels, style);
    story.add("pixels: %s", style.c_str());

    Bytes want;
    {
        Img plain = make_img(px, s.height, s.width, s.channels, s.alpha);
        const bool ran =
            to_palette
                ? (ordered ? ordered_palette_on(ThresholdAlgorithm::plain, Isa::portable,
                                                plain.view(), space, *palette, strength, matrix)
                           : random_palette_on(ThresholdAlgorithm::plain, Isa::portable,
                                               plain.view(), space, *palette, strength, state))
                : (ordered ? ordered_levels_on(OrderedLevelsAlgorithm::plain, Isa::portable,
                                               plain.view(), space, levels, strength, matrix)
                           : random_levels_on(ThresholdAlgorithm::plain, Isa::portable,
                                              plain.view(), space, levels, strength, state));
        if (!ran) fuzz::disagree(story, "plain", "declined");
        want = bytes_of(plain);
    }

    if (!to_palette && ordered) {
        // Every algorithm on every instruction set: those without a loop
        // there must decline and leave the image alone.
        for (OrderedLevelsAlgorithm algorithm :
             {OrderedLevelsAlgorithm::arithmetic, OrderedLevelsAlgorithm::table,
              OrderedLevelsAlgorithm::compare}) {
            for (Isa isa : ALL_ISAS) {
                const std::string name = std::string(ordered_name(algorithm)) + " " + isa_name(isa);
                check_loop(story, name, px, s, want, [&](Img& img, PassIo io) {
                    return ordered_levels_on(algorithm, isa, img.view(), space, levels, strength,
                                             matrix, io);
                });
            }
        }
    } else {
        for (Isa isa : ALL_ISAS) {
            const std::string name = std::string(ordered ? "ordered " : "random ") +
                                     (to_palette ? "palette " : "levels ") + isa_name(isa);
            constexpr ThresholdAlgorithm fast = ThresholdAlgorithm::fast;
            check_loop(story, name, px, s, want, [&](Img& img, PassIo io) {
                if (to_palette) {
                    return ordered ? ordered_palette_on(fast, isa, img.view(), space, *palette,
                                                        strength, matrix, io)
                                   : random_palette_on(fast, isa, img.view(), space, *palette,
                                                       strength, state, io);
                }
                return random_levels_on(fast, isa, img.view(), space, levels, strength, state, io);
            });
        }
    }

    // The entry points, which pick a loop themselves.
    for (const bool separate : {false, true}) {
        Img img = make_img(separate ? scrambled(px) : px, s.height, s.width, s.channels,
                           s.alpha);
        const std::uint8_t* source = separate ? px.data() : nullptr;
        if (to_palette) {
            if (ordered) {
                ordered_palette(img.view(), space, *palette, strength, matrix, source);
            } else {
                random_palette(img.view(), space, *palette, strength, state, source);
            }
        } else if (ordered) {
            ordered_levels(img.view(), space, levels, strength, matrix, source);
        } else {
            random_levels(img.view(), space, levels, strength, state, source);
        }
        fuzz::expect_same_image(story, separate ? "entry point (separate input)" : "entry point",
                                want, bytes_of(img), s.width, s.channels);
    }
    return 0;
}
