// Reading the `matrix` argument of ordered dither.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include "core/threshold/threshold_matrix.hpp"

namespace dithering {

// Tries, in order: an integer size (int or __index__ object fitting 64
// unsigned bits) naming a Bayer matrix; a str naming one ('bayer8x8',
// '8x8', '8', ...); anything numpy.asarray makes a non-empty 2-D integer
// (indices) or float (thresholds) array of. `matrix` is not None. Runs
// attached; never writes the caller's object.
std::optional<ThresholdMatrix> parse_matrix(PyObject* matrix);

// Raises the ValueError for an unknown matrix name or size; returns nullptr.
PyObject* invalid_matrix_error(std::string_view name);

}  // namespace dithering
