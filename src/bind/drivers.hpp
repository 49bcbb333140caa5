// The three algorithm drivers behind the module functions.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "bind/args.hpp"
#include "core/diffusion/pass_options.hpp"
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

// The three options every function converts last, in this order, by the
// rules of args.hpp: false, with the exception set, at the first failure.
inline bool convert_final_options(PyObject* strength, PyObject* linear, PyObject* preserve_alpha,
                                  CommonOptions& options) {
    return convert_float(strength, "strength", options.strength) &&
           convert_bool(linear, "linear", options.linear) &&
           convert_bool(preserve_alpha, "preserve_alpha", options.preserve_alpha);
}

// Each returns a new reference to the result (a NumPy array, or a PIL image
// for PIL input) or nullptr with an exception set. Called attached; the
// pixel loops run detached.
//
// `diffusion` says how the passes run (core/diffusion/pass_options.hpp):
// the scan direction, and whether a palette pass clamps each value to the
// working range before its search; levels are never bounded. The dithering
// module's functions leave `bounded` false (its error diffusion carries
// the whole error on); dithering_tools' bounded error diffusion sets it.
PyObject* error_diffusion(PyObject* image, std::string_view method,
                          const CommonOptions& options, const DiffusionOptions& diffusion);
// `matrix` is borrowed, nullptr for the default 8x8 Bayer matrix.
PyObject* ordered_dither(PyObject* image, PyObject* matrix,
                         const CommonOptions& options);
// The same with a matrix already parsed (the dispatcher's ordered branch).
PyObject* ordered_dither(PyObject* image, ThresholdMatrix matrix,
                         const CommonOptions& options);
PyObject* random_dither(PyObject* image, std::optional<Int128> seed,
                        const CommonOptions& options);

}  // namespace dithering
