// Number and list forms used inside error messages.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace dithering {

// The shortest plain decimal that reads back as the same float, never in
// exponent form: 2.0 -> "2", 1.1 -> "1.1", 1e20 -> "100000000000000000000";
// NaN -> "NaN", infinities -> "inf" and "-inf".
std::string format_float(float value);

// "[480, 640, 3]"; "[]" for no entries.
std::string format_list(std::span<const std::int64_t> values);

// Narrows a double to single precision, rounding to nearest (ties to even)
// and overflowing to infinity the way an IEEE conversion does, without the
// undefined behaviour of casting an out-of-range double.
float narrow_to_float(double value);

}  // namespace dithering
