// Reading the image argument into an owned byte copy.
#pragma once

#include <Python.h>

#include <optional>

#include "core/image.hpp"

namespace dithering {

// Accepts a uint8 NumPy array (any layout, read directly), a PIL image
// (modes other than L, LA, RGB and RGBA converted to RGB) or anything
// numpy.asarray turns into a uint8 array. Fills every field of Img but
// `alpha`. Raises TypeError for another dtype, ValueError for a shape that
// is not 2-D or 3-D or has an empty dimension, MemoryError when the copy
// cannot be allocated. Never writes the caller's data. Runs attached.
std::optional<Img> extract_image(PyObject* image);

}  // namespace dithering
