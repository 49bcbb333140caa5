// The named Bayer matrices and the reading of a matrix name.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace dithering {

// The Bayer matrix sizes offered by name, in listing order.
inline constexpr std::array<std::size_t, 4> BAYER_SIZES = {2, 4, 8, 16};

inline bool is_bayer_size(unsigned long long n) {
    return n == 2 || n == 4 || n == 8 || n == 16;
}

// "bayer8x8" for 8.
std::string bayer_name(std::size_t size);

// "'bayer2x2', 'bayer4x4', 'bayer8x8', 'bayer16x16'", as messages list them.
std::string quoted_matrix_names();

// The Bayer size a matrix name stands for: after normalising (ASCII lower
// case; blanks, hyphens and underscores dropped) and dropping a leading
// "bayer", the rest must read "NxN" or "N" with N in plain decimal (no
// leading zeros or plus sign) and N one of BAYER_SIZES. 'Bayer-8',
// 'bayer 8 x 8', '8x8' and '8' all give 8; anything else gives nothing.
std::optional<std::size_t> bayer_size_from_name(std::string_view name);

}  // namespace dithering
