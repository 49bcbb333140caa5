// Reading the `palette` argument into a list of RGB colours.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace dithering {

// Any iterable of '#rgb' / '#rrggbb' texts and (r, g, b) integer sequences;
// 2 to 4096 entries, each checked in iteration order before the count.
// Returns the colours as 3 bytes each (R, G, B), in the caller's order. The
// caller's objects are only read. Runs attached.
std::optional<std::vector<std::uint8_t>> parse_palette(PyObject* palette);

}  // namespace dithering
