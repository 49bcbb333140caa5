// The entry of error_diffusion: its arguments matched and converted, then
// the driver. Shared by the module function and the companion package's
// bounded one, so that both take the same arguments with the same messages.
#pragma once

#include <Python.h>

#include <string_view>

#include "core/diffusion/pass_options.hpp"

namespace dithering {

// The method of a call that names none.
inline constexpr std::string_view DEFAULT_METHOD = "floyd_steinberg";

// error_diffusion(image, method="floyd_steinberg", *, levels=2, palette=None,
// serpentine=False, strength=1.0, linear=False, preserve_alpha=True), entered
// by fast call: matching errors name "error_diffusion()", the arguments are
// converted in that order (the first failure raises, with its note), then
// the driver runs with `fixed` (drivers.hpp), its serpentine taken from the
// arguments: `fixed.bounded` is all that tells the two entries apart.
// Returns a new reference or nullptr with an exception set. Runs attached.
// A failed allocation throws, as in every entry's body, so it is called
// inside guard_entry.
PyObject* error_diffusion_entry(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                const DiffusionOptions& fixed);

}  // namespace dithering
