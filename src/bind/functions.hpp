// The static records of the six module functions.
#pragma once

#include <Python.h>

#include <array>

namespace dithering {

// In registration order: dither, ordered_dither, error_diffusion,
// random_dither, available_matrices, available_methods. They must outlive
// every function object made from them, hence static storage.
extern std::array<PyMethodDef, 6> FUNCTION_RECORDS;

}  // namespace dithering
