// Turning the working image into the Python result.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

#include "core/image/image.hpp"

namespace dithering {

// A new uint8 array of the input's shape whose memory is the pixel buffer
// itself (no copy; a small owner object set as the array's base frees it),
// or a PIL image in `mode` made from that array when the input was a PIL
// image (`mode` is the input's, absent for array input).
// Consumes `img`; the buffer is freed exactly once on every path. Runs
// attached.
PyObject* into_output(Img img, const std::optional<std::string>& mode);

}  // namespace dithering
