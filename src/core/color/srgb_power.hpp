// The power segments of the sRGB curves, the same floats on every platform.
#pragma once

#include <span>

namespace dithering {

// The exponents of the two curves, as single-precision values: 2.4 for
// decoding (byte -> linear light), the float nearest 1 / 2.4 for encoding.
inline constexpr float srgb_decode_exponent = 2.4f;
inline constexpr float srgb_encode_exponent = 0.41666666f;

// base^exponent in double precision, before the one rounding to float that
// the powers below make.
double srgb_power_unrounded(float base, float exponent) noexcept;

// base^2.4 and base^(1 / 2.4) as floats, for bases in (0, 1]: the double
// power rounded once, except for the few encoding bases that
// srgb_encode_exceptions holds. Neither calls the C library's powf, yet for
// every base the tables raise (decode_power_base, encode_power_base) the
// result is the float glibc's powf gives, on every platform.
float srgb_decode_power(float base) noexcept;
float srgb_encode_power(float base) noexcept;

// One base whose encoding power is held as a float rather than computed.
struct SrgbPowerException {
    float base;
    float power;
};

// The held encoding powers, by increasing base. Decoding needs none.
std::span<const SrgbPowerException> srgb_encode_exceptions() noexcept;

}  // namespace dithering
