// Reading '#rgb' and '#rrggbb' colour texts.
#include "core/color/hex_color.hpp"

namespace dithering {
namespace {

int hex_digit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<Rgb> parse_hex_color(std::string_view text) {
    if (!text.empty() && text.front() == '#') text.remove_prefix(1);
    if (text.size() != 3 && text.size() != 6) return std::nullopt;
    int digits[6];
    for (std::size_t i = 0; i < text.size(); ++i) {
        digits[i] = hex_digit(text[i]);
        if (digits[i] < 0) return std::nullopt;
    }
    Rgb rgb;
    for (std::size_t k = 0; k < 3; ++k) {
        const int value = text.size() == 3 ? digits[k] * 17
                                           : digits[2 * k] * 16 + digits[2 * k + 1];
        rgb[k] = static_cast<std::uint8_t>(value);
    }
    return rgb;
}

}  // namespace dithering
