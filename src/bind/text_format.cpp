// List forms used inside error messages, and doubles narrowed to single precision.
#include "bind/text_format.hpp"

#include <cmath>
#include <limits>

namespace dithering {

std::string format_list(std::span<const std::int64_t> values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(values[i]);
    }
    out += ']';
    return out;
}

float narrow_to_float(double value) {
    // Halfway between the largest float and 2^128: from here on, rounding
    // to nearest gives infinity (the tie goes to the even neighbour, 2^128).
    constexpr double overflow = 0x1.ffffffp127;
    if (std::isnan(value)) return static_cast<float>(value);
    if (value >= overflow) return std::numeric_limits<float>::infinity();
    if (value <= -overflow) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

}  // namespace dithering
