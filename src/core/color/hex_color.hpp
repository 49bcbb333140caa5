// Reading '#rgb' and '#rrggbb' colour texts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace dithering {

using Rgb = std::array<std::uint8_t, 3>;

// An optional leading '#', then exactly 3 or 6 ASCII hex digits of either
// case; a 3-digit form repeats each digit ('#0f8' is (0, 255, 136)).
// Nothing else is trimmed. Returns nothing for any other text.
std::optional<Rgb> parse_hex_color(std::string_view text);

}  // namespace dithering
