// The sRGB powers: one float per base on every platform, and glibc's floats.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "check.hpp"
#include "core/color/color_space.hpp"
#include "core/color/levels.hpp"
#include "core/color/srgb_power.hpp"

using namespace dithering;

namespace {

// How near a double pow may come to a rounding boundary and still be
// trusted: 2^-40, relative, is about four thousand double ulps, where any
// libm's pow errs by a few.
constexpr double trusted_margin = 0x1p-40;

std::vector<float> sorted_unique(std::vector<float> bases) {
    std::sort(bases.begin(), bases.end());
    bases.erase(std::unique(bases.begin(), bases.end()), bases.end());
    return bases;
}

// Every base ColorSpace::create raises to 2.4, from the function it takes
// them from.
std::vector<float> decode_bases() {
    std::vector<float> bases;
    for (int v = 0; v < 256; ++v) {
        if (const auto base = decode_power_base(static_cast<std::uint8_t>(v))) {
            bases.push_back(*base);
        }
    }
    return sorted_unique(bases);
}

// Every base Levels::create raises to 1 / 2.4, for every count it accepts,
// from the positions of the levels it builds.
std::vector<float> encode_bases() {
    const ColorSpace linear = ColorSpace::create(true);
    std::vector<float> bases;
    for (std::uint32_t n = 2; n <= 256; ++n) {
        const Levels levels = Levels::create(n, linear);
        for (std::uint32_t i = 0; i < n; ++i) {
            if (const auto base = encode_power_base(levels.position(i))) {
                bases.push_back(*base);
            }
        }
    }
    return sorted_unique(bases);
}

// How far d lies from the nearest value where its rounding to float changes
// (the midpoint of the two floats around it), relative to d. The midpoint
// has 25 significant bits, so the double arithmetic here is exact up to the
// final division.
double rounding_margin(double d) {
    const float rounded = static_cast<float>(d);
    const float below = static_cast<double>(rounded) <= d ? rounded : std::nextafter(rounded, 0.0f);
    const float above = std::nextafter(below, std::numeric_limits<float>::infinity());
    const double midpoint = (static_cast<double>(below) + static_cast<double>(above)) / 2.0;
    return std::fabs(d - midpoint) / d;
}

const SrgbPowerException* held(float base) {
    for (const SrgbPowerException& entry : srgb_encode_exceptions()) {
        if (entry.base == base) return &entry;
    }
    return nullptr;
}

}  // namespace

CORE_TEST(srgb_power_base_counts) {
    // Bytes 11..255 decode through the power; the encoding bases are the
    // distinct fractions i / (n - 1) above the straight segment, as floats.
    const std::vector<float> decode = decode_bases();
    CHECK(decode.size() == 245);
    CHECK(!decode_power_base(10) && decode_power_base(11));
    CHECK(decode.back() == 1.0f);
    const std::vector<float> encode = encode_bases();
    CHECK(encode.size() > 20000 && encode.size() < 21000);
    CHECK(encode.front() > 0.0031308f && encode.back() == 1.0f);
}

CORE_TEST(srgb_decode_power_rounds_far_from_boundaries) {
    // Every decoding base lies far enough from a boundary that any
    // platform's double pow rounds to the same float.
    for (const float base : decode_bases()) {
        const double power = srgb_power_unrounded(base, srgb_decode_exponent);
        CHECK(rounding_margin(power) > trusted_margin);
        CHECK(srgb_decode_power(base) == static_cast<float>(power));
    }
}

CORE_TEST(srgb_encode_power_rounds_far_from_boundaries_or_is_held) {
    const std::vector<float> bases = encode_bases();
    for (const float base : bases) {
        const double power = srgb_power_unrounded(base, srgb_encode_exponent);
        if (const SrgbPowerException* entry = held(base)) {
            CHECK(srgb_encode_power(base) == entry->power);
        } else {
            CHECK(rounding_margin(power) > trusted_margin);
            CHECK(srgb_encode_power(base) == static_cast<float>(power));
        }
    }
    // Each held power is for a base the tables raise, and is needed: the
    // double lies too near a boundary, or rounds to the float beside it (a
    // held float is never further than that from the double).
    float previous = 0.0f;
    for (const SrgbPowerException& entry : srgb_encode_exceptions()) {
        CHECK(entry.base > previous);
        previous = entry.base;
        CHECK(std::binary_search(bases.begin(), bases.end(), entry.base));
        const double power = srgb_power_unrounded(entry.base, srgb_encode_exponent);
        const float rounded = static_cast<float>(power);
        CHECK(rounding_margin(power) <= trusted_margin || entry.power != rounded);
        CHECK(entry.power == rounded || entry.power == std::nextafter(rounded, 0.0f) ||
              entry.power == std::nextafter(rounded, 2.0f));
    }
}

#ifdef __GLIBC__
// The tables' floats were first recorded with glibc's powf; on glibc the
// powers must still be exactly its floats, base by base.
CORE_TEST(srgb_powers_are_glibc_powf) {
    for (const float base : decode_bases()) {
        CHECK(srgb_decode_power(base) == ::powf(base, srgb_decode_exponent));
    }
    for (const float base : encode_bases()) {
        CHECK(srgb_encode_power(base) == ::powf(base, srgb_encode_exponent));
    }
}
#endif
