// The named Bayer matrices.
#pragma once

#include <array>
#include <string>

namespace dithering {

// The Bayer matrix sizes offered by name, in listing order.
inline constexpr std::array<unsigned, 4> BAYER_SIZES = {2, 4, 8, 16};

// "bayer8x8" for 8.
inline std::string bayer_name(unsigned size) {
    const std::string n = std::to_string(size);
    return "bayer" + n + "x" + n;
}

}  // namespace dithering
