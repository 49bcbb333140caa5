// The three algorithm drivers behind the module functions.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "bind/args.hpp"
#include "core/threshold/threshold_matrix.hpp"

namespace dithering {

// The options every dithering function takes, as the binding converted
// them; `palette` is a borrowed reference or nullptr when absent.
struct CommonOptions {
    std::uint32_t levels = 2;
    PyObject* palette = nullptr;
    float strength = 1.0f;
    bool linear = false;
    bool preserve_alpha = true;
};

// Each returns a new reference to the result (a NumPy array, or a PIL image
// for PIL input) or nullptr with an exception set. Called attached; the
// pixel loops run detached.
PyObject* error_diffusion(PyObject* image, std::string_view method,
                          bool serpentine, const CommonOptions& options);
// `matrix` is borrowed, nullptr for the default 8x8 Bayer matrix.
PyObject* ordered_dither(PyObject* image, PyObject* matrix,
                         const CommonOptions& options);
// The same with a matrix already parsed (the dispatcher's ordered branch).
PyObject* ordered_dither(PyObject* image, ThresholdMatrix matrix,
                         const CommonOptions& options);
PyObject* random_dither(PyObject* image, std::optional<Int128> seed,
                        const CommonOptions& options);

}  // namespace dithering
