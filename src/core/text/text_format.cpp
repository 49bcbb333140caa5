// Number and list forms used inside error messages.
#include "core/text/text_format.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

namespace dithering {

std::string format_float(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // The shortest round-trip digits come from the scientific form
    // ("d.ddde+XX"); they are then laid out in plain decimal, padding with
    // zeros rather than printing the binary value's exact long expansion.
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                      std::chars_format::scientific);
    const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const std::size_t e = text.find('e');
    std::string sign;
    std::string digits;
    for (char ch : text.substr(0, e)) {
        if (ch == '-') sign = "-";
        else if (ch != '.') digits += ch;
    }
    int exponent = 0;
    const std::string_view exp_text = text.substr(e + 1);
    std::from_chars(exp_text.data() + (exp_text[0] == '+' ? 1 : 0),
                    exp_text.data() + exp_text.size(), exponent);
    // The value is 0.digits * 10^(exponent + 1).
    const int point = exponent + 1;
    std::string out;
    if (point <= 0) {
        out = "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
        out = digits + std::string(static_cast<std::size_t>(point) - digits.size(), '0');
    } else {
        out = digits.substr(0, static_cast<std::size_t>(point)) + "." +
              digits.substr(static_cast<std::size_t>(point));
    }
    return sign + out;
}

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
