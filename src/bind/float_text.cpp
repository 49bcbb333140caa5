// Single-precision values written out for messages.
#include "bind/float_text.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>

#include "bind/text_format.hpp"

namespace dithering {

namespace {

// A number taken apart from the interpreter's scientific form "-d.ddde-XX":
// its sign, its significant digits and the power of ten of the first one.
struct Scientific {
    bool negative = false;
    std::string digits;
    int exponent = 0;
};

// `value` correctly rounded to `count` significant digits (ties to even).
std::optional<Scientific> round_to_digits(double value, int count) {
    const std::unique_ptr<char, void (*)(void*)> text(
        PyOS_double_to_string(value, 'e', count - 1, 0, nullptr), PyMem_Free);
    if (!text) return std::nullopt;
    Scientific out;
    const char* at = text.get();
    if (*at == '-') {
        out.negative = true;
        ++at;
    }
    for (; *at != 'e'; ++at) {
        if (*at != '.') out.digits += *at;
    }
    ++at;
    const bool negative_exponent = *at == '-';
    ++at;
    for (; *at; ++at) out.exponent = out.exponent * 10 + (*at - '0');
    if (negative_exponent) out.exponent = -out.exponent;
    return out;
}

// A decimal of at most nine significant digits: significand * 10^exponent,
// the exponent being that of the significand's last digit.
struct Decimal {
    bool negative = false;
    std::uint64_t significand = 0;
    int exponent = 0;
};

Decimal to_decimal(const Scientific& number) {
    Decimal out;
    out.negative = number.negative;
    for (char digit : number.digits) out.significand = out.significand * 10 + static_cast<std::uint64_t>(digit - '0');
    out.exponent = number.exponent - (static_cast<int>(number.digits.size()) - 1);
    return out;
}

std::uint64_t power_of_ten(int count) {
    std::uint64_t out = 1;
    for (int i = 0; i < count; ++i) out *= 10;
    return out;
}

// The next `count`-digit decimal towards zero or away from it. Below the
// leading power of ten the digits get ten times finer: 1.00e5 steps down
// to 9.99e4.
Decimal step(Decimal decimal, int count, bool away_from_zero) {
    if (away_from_zero) {
        if (++decimal.significand == power_of_ten(count)) {
            decimal.significand /= 10;
            ++decimal.exponent;
        }
    } else if (decimal.significand == power_of_ten(count - 1)) {
        decimal.significand = power_of_ten(count) - 1;
        --decimal.exponent;
    } else {
        --decimal.significand;
    }
    return decimal;
}

// Where a float sits among the reals when rounding: infinity stands for
// 2^128, the step after the largest float.
double place(float value) {
    return std::isinf(value) ? std::copysign(0x1p128, static_cast<double>(value)) : value;
}

// Compares the magnitudes of `decimal` and `value` exactly: negative, zero
// or positive. `value` is halfway between two floats, so it has at most 25
// significant bits, the lowest no smaller than 2^-150: its decimal expansion
// ends within 113 significant digits, and 120 write it exactly.
std::optional<int> compare_magnitudes(const Decimal& decimal, double value) {
    const std::optional<Scientific> exact = round_to_digits(value, 120);
    if (!exact) return std::nullopt;
    std::string digits = std::to_string(decimal.significand);
    const int exponent = decimal.exponent + static_cast<int>(digits.size()) - 1;
    if (exponent != exact->exponent) return exponent < exact->exponent ? -1 : 1;
    digits.resize(exact->digits.size(), '0');
    return digits.compare(exact->digits);
}

// The float nearest `decimal`, ties to even: what its text reads back as in
// single precision. It is read through the nearest double, which settles it
// unless that double lies exactly halfway between two floats: the decimal
// itself can be off the halfway point by less than half a double's step
// (7.038531e-26 is, just below the point between 7.0385307e-26 and
// 7.0385313e-26), and the side it is on decides.
std::optional<float> read_back(const Decimal& decimal) {
    const std::string text = (decimal.negative ? "-" : "") + std::to_string(decimal.significand) +
                             "e" + std::to_string(decimal.exponent);
    const double near = PyOS_string_to_double(text.c_str(), nullptr, nullptr);
    if (near == -1.0 && PyErr_Occurred()) return std::nullopt;
    const float rounded = narrow_to_float(near);
    if (place(rounded) == near) return rounded;
    const float other = std::nextafter(rounded, near > place(rounded)
                                                    ? std::numeric_limits<float>::infinity()
                                                    : -std::numeric_limits<float>::infinity());
    if (near != (place(rounded) + place(other)) / 2) return rounded;
    const std::optional<int> side = compare_magnitudes(decimal, near);
    if (!side) return std::nullopt;
    // Exactly halfway, the tie went to the even float already.
    if (*side == 0) return rounded;
    const bool rounded_farther = std::fabs(place(rounded)) > std::fabs(near);
    return (*side > 0) == rounded_farther ? rounded : other;
}

// Plain decimal, padded with zeros rather than showing the binary value's
// exact long expansion: 1e20 -> "100000000000000000000", 1e-3 -> "0.001".
std::string lay_out(Decimal decimal) {
    while (decimal.significand != 0 && decimal.significand % 10 == 0) {
        decimal.significand /= 10;
        ++decimal.exponent;
    }
    const std::string digits = std::to_string(decimal.significand);
    // The value is 0.digits * 10^point.
    const int point = decimal.exponent + static_cast<int>(digits.size());
    std::string out = decimal.negative ? "-" : "";
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
        out += digits;
        out.append(static_cast<std::size_t>(point) - digits.size(), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
}

}  // namespace

std::optional<std::string> float_text(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // Every float is exactly a double, so rounding the double rounds the float.
    const double exact = value;
    // Nine significant digits always read back (max_digits10): the search
    // for fewer stops there.
    constexpr int most = std::numeric_limits<float>::max_digits10;
    for (int count = 1; count < most; ++count) {
        const std::optional<Scientific> rounded = round_to_digits(exact, count);
        if (!rounded) return std::nullopt;
        const Decimal nearest = to_decimal(*rounded);
        const std::optional<float> back = read_back(nearest);
        if (!back) return std::nullopt;
        if (*back == value) return lay_out(nearest);
        // At a power of two the next float towards zero is twice as close as
        // the next one away from it, so the decimals that read back reach
        // only half as far on that side. The nearest decimal can then miss
        // there while the one on the other side of the value, farther off
        // but as short, still reads back. (Anywhere else the reach is the
        // same both ways, and that one misses too.)
        const bool overshot = std::fabs(*back) > std::fabs(value);
        const Decimal other = step(nearest, count, !overshot);
        const std::optional<float> other_back = read_back(other);
        if (!other_back) return std::nullopt;
        if (*other_back == value) return lay_out(other);
    }
    const std::optional<Scientific> rounded = round_to_digits(exact, most);
    if (!rounded) return std::nullopt;
    return lay_out(to_decimal(*rounded));
}

}  // namespace dithering
