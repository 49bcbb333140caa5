// Reading the image argument into an owned byte copy.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "bind/pyref.hpp"

#include "core/image/image.hpp"

namespace dithering {

// The input pixels of a call that reads them where they are: a C-contiguous
// uint8 array's own bytes, in Img's layout, kept alive by the reference
// held here. Reading them in the pixel loop instead of copying them first
// saves a whole pass over memory. `bytes` is null when the pixels were
// copied after all (another layout).
struct BorrowedPixels {
    PyRef array;
    const std::uint8_t* bytes = nullptr;
};

// The image argument, read: the pixels, and the PIL mode they are in ("L",
// "LA", "RGB", "RGBA") when it was a PIL image, for the result to be made
// in; absent for array input.
struct ImageArg {
    Img img;
    std::optional<std::string> mode;
};

// Accepts a uint8 NumPy array (any layout, read directly), a PIL image
// (modes other than L, LA, RGB and RGBA converted to RGB) or anything
// numpy.asarray turns into a uint8 array. Fills every field of Img but
// `alpha`. Raises TypeError for another dtype, ValueError for a shape that
// is not 2-D or 3-D or has an empty dimension, MemoryError when the copy
// cannot be allocated. Never writes the caller's data. Runs attached.
//
// With `borrow`, a C-contiguous array is not copied: img.pixels is
// allocated but left as it is, for the result, and `borrow` holds the
// input (see BorrowedPixels); any other input is copied as usual.
std::optional<ImageArg> extract_image(PyObject* image, BorrowedPixels* borrow = nullptr);

}  // namespace dithering
