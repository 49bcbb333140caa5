// Which code points a quoted text writes as \u{...} escapes.
#pragma once

#include <cstdint>

namespace dithering {

// True for code points that are not printable (control, format, surrogate,
// private-use, unassigned and separator characters other than the ASCII
// space) and for grapheme extenders, which would otherwise fuse visually
// with their neighbour inside a message.
bool needs_escape(std::uint32_t code_point);

}  // namespace dithering
