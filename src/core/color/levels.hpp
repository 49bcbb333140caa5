// Evenly spaced output levels per channel and the value-to-level mapping.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "core/color/color_space.hpp"

namespace dithering {

// n output levels, evenly spaced on the working scale (linear light in
// linear mode). For each level both the byte that is written (`codes`) and
// the working value of that byte (`values`) are kept, so that error
// diffusion measures its error against what was really written.
// Only the first `count` entries of `codes` and `values` are meaningful.
struct Levels {
    std::array<std::uint8_t, 256> codes{};  // output byte of level i
    std::array<float, 256> values{};        // lut[codes[i]]
    float step = 0.0f;      // 255 / (n - 1)
    float inv_step = 0.0f;  // 1.0f / step (not (n - 1) / 255: they differ, e.g. n = 8)
    float top = 0.0f;       // n - 1, the highest level index as a float
    std::uint32_t count = 0;

    // Builds n levels for `space`. n must be 2..256 (the only values the
    // argument checks let through); anything else is clamped into that
    // range so that a caller bug can never index outside the tables.
    // Cannot fail otherwise. codes[0] = 0, codes[n-1] = 255, codes never
    // decrease; in linear mode neighbouring levels may share a code.
    static Levels create(std::uint32_t n, const ColorSpace& space) noexcept;

    // Level i on the working scale before any encoding: i * step, at most
    // 255 (the minimum guards against i * step rounding above it).
    float position(std::uint32_t i) const noexcept;

    // The level nearest to working value v: roundf(v * inv_step) (halves
    // away from zero), limited to 0..top; NaN gives level 0. Never returns
    // an index >= count.
    std::size_t quantize(float v) const noexcept;

    // The level error diffusion picks for v: with two levels, 1 exactly
    // when v >= 127.5 (cheaper than rounding, and different from it only
    // for the float just below 127.5); quantize(v) otherwise. NaN gives 0.
    std::size_t diffusion_level(float v) const noexcept;

    // The smallest float v with diffusion_level(v) >= i, for 1 <= i < count
    // (first_float_reaching with diffusion_level as the oracle). The level
    // of any v is the number of these thresholds it reaches (NaN reaches
    // none): a few compares instead of a multiply and a rounding.
    float diffusion_threshold(std::size_t i) const noexcept;
};

// The base that linear mode's sRGB encoding raises to the power 1 / 2.4 for
// working value v (0..255): e = v / 255, rounded to float. Nothing where e is
// on the straight segment (e <= 0.0031308). create() takes every base it
// raises from here, for the positions of its levels.
std::optional<float> encode_power_base(float v) noexcept;

// The smallest float v with level_of(v) >= level, for a level_of that never
// decreases as v grows and reaches `level` at +inf: bisection over the
// floats in order, with the formula itself as the oracle, so no reasoning
// about rounding is involved.
template <typename LevelOf>
float first_float_reaching(const LevelOf& level_of, std::size_t level) {
    // The floats in order as unsigned keys: -inf .. -0, +0 .. +inf map to
    // increasing keys, the NaNs fall outside that range.
    const auto key = [](float f) {
        const auto bits = std::bit_cast<std::uint32_t>(f);
        return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
    };
    const auto value = [](std::uint32_t k) {
        return std::bit_cast<float>((k & 0x80000000u) != 0 ? k & 0x7fffffffu : ~k);
    };
    std::uint32_t below = key(-std::numeric_limits<float>::infinity());
    std::uint32_t reaching = key(std::numeric_limits<float>::infinity());
    while (reaching - below > 1) {
        const std::uint32_t mid = below + (reaching - below) / 2;
        if (level_of(value(mid)) >= level) {
            reaching = mid;
        } else {
            below = mid;
        }
    }
    return value(reaching);
}

}  // namespace dithering
