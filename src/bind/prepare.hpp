// The shared front half of every dithering call.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

#include "bind/drivers.hpp"
#include "bind/intake.hpp"
#include "core/color/color_space.hpp"
#include "core/color/target.hpp"
#include "core/image/image.hpp"

namespace dithering {

// Everything a pixel loop needs, owning all its data and no Python object,
// so that the loop can run detached from the interpreter.
struct Prepared {
    Img img;
    Target target;
    ColorSpace space;
    float strength;
    // The input's PIL mode, for the result (see ImageArg).
    std::optional<std::string> mode;
};

// Checks the options in a fixed order (strength, levels, levels with
// palette, the palette itself), reads the image, decides the pass-through
// alpha channel, rejects a palette for 1- and 2-channel images, then builds
// the colour-space table and the target. The first failure raises. Runs
// attached. `borrow` as for extract_image.
std::optional<Prepared> prepare(PyObject* image, const CommonOptions& options,
                                BorrowedPixels* borrow = nullptr);

}  // namespace dithering
