// List forms used inside error messages, and doubles narrowed to single precision.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace dithering {

// "[480, 640, 3]"; "[]" for no entries.
std::string format_list(std::span<const std::int64_t> values);

// Narrows a double to single precision, rounding to nearest (ties to even)
// and overflowing to infinity the way an IEEE conversion does, without the
// undefined behaviour of casting an out-of-range double.
float narrow_to_float(double value);

}  // namespace dithering
