// The sRGB powers: a double power rounded once, and the few held floats.
#include "core/color/srgb_power.hpp"

#include <cmath>

namespace dithering {

namespace {

// The tables were first built with glibc's powf, which is accurate to 0.82
// of a float ulp rather than correctly rounded, and the bytes written ever
// since follow from its floats. A double pow is within a few double ulps of
// the true power on any platform, so rounding it gives one float everywhere
// unless the power lies near the midpoint of two floats. Of all the bases
// the tables raise, these are the ones where that is not enough: glibc
// rounds the other way (all but one), or the double lies within 2^-40 of
// the midpoint, relative (0x1.9374bcp-1, at 2^-40.1), too near for a
// platform's pow to be trusted. No decoding base needs holding; the nearest
// lies 2^-32.8 from a midpoint.
constexpr SrgbPowerException encode_exceptions[] = {
    {0x1.a6d01ap-6f, 0x1.be389ap-3f},
    {0x1.843f18p-4f, 0x1.7fa892p-2f},
    {0x1.77a36p-2f, 0x1.51219cp-1f},
    {0x1.b4d814p-2f, 0x1.670436p-1f},
    {0x1.cefa8cp-2f, 0x1.6fd07ep-1f},
    {0x1.587abp-1f, 0x1.b211aap-1f},
    {0x1.6a2578p-1f, 0x1.bb35acp-1f},
    {0x1.901662p-1f, 0x1.cdff1cp-1f},
    {0x1.9374bcp-1f, 0x1.cf9d02p-1f},
    {0x1.98f4bap-1f, 0x1.d23c7cp-1f},
    {0x1.bb76ecp-1f, 0x1.e23e0cp-1f},
    {0x1.be7bcp-1f, 0x1.e39b86p-1f},
    {0x1.df24f6p-1f, 0x1.f20b7ep-1f},
    {0x1.ef24dep-1f, 0x1.f8e876p-1f},
};

}  // namespace

double srgb_power_unrounded(float base, float exponent) noexcept {
    return std::pow(static_cast<double>(base), static_cast<double>(exponent));
}

float srgb_decode_power(float base) noexcept {
    return static_cast<float>(srgb_power_unrounded(base, srgb_decode_exponent));
}

float srgb_encode_power(float base) noexcept {
    // A table is built once per call; fourteen compares per level are nothing.
    for (const SrgbPowerException& held : encode_exceptions) {
        if (held.base == base) return held.power;
    }
    return static_cast<float>(srgb_power_unrounded(base, srgb_encode_exponent));
}

std::span<const SrgbPowerException> srgb_encode_exceptions() noexcept {
    return encode_exceptions;
}

}  // namespace dithering
