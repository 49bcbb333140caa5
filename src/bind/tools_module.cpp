// dithering_tools._native: the companion package's pixel work. Error
// diffusion with the bounded palette pass, the native half of
// dithering_tools.bounded_error_diffusion, and the palette maker behind
// dithering_tools.make_palette (palette_making.hpp).
//
// Its error_diffusion is the dithering module's, the same
// entry (error_diffusion_entry.hpp) with the same arguments, checks and
// messages, but for the palette pass it runs: each value plus its carried
// error is clamped to 0..255 before the nearest colour is chosen, so that
// the error cannot run away. Levels are diffused exactly as dithering does.
#include <Python.h>

#include "bind/error_diffusion_entry.hpp"
#include "bind/errors.hpp"
#include "bind/palette_making.hpp"
#include "bind/module_definition.hpp"

namespace dithering {
namespace {

PyObject* py_bounded_error_diffusion(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    return guard_entry(
        [&] { return error_diffusion_entry(args, nargs, kwnames, {.bounded = true}); });
}

constexpr const char BOUNDED_ERROR_DIFFUSION_DOC[] =
    R"doc(error_diffusion(image, method="floyd_steinberg", *, levels=2, palette=None, serpentine=False, strength=1.0, linear=False, preserve_alpha=True)
--

dithering.error_diffusion with the bounded palette pass.

The same arguments, checks, messages and kinds of result; to a palette,
each component of a pixel's value plus its carried error is clamped to
0..255 before the nearest colour is chosen, and the error passed on is
the clamped value minus that colour. Levels are not bounded (0 and 255
are always levels, so their error cannot run away): those results are
dithering's own. Use dithering_tools.bounded_error_diffusion.)doc";

// The interpreter calls fast-call entry points through the generic
// PyCFunction pointer type and casts back according to the flags.
PyMethodDef module_functions[] = {
    {"error_diffusion",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_bounded_error_diffusion)),
     METH_FASTCALL | METH_KEYWORDS, BOUNDED_ERROR_DIFFUSION_DOC},
    {"make_palette", py_make_palette, METH_VARARGS, MAKE_PALETTE_DOC},
    {"activity_weights", py_activity_weights, METH_VARARGS, ACTIVITY_WEIGHTS_DOC},
    {nullptr, nullptr, 0, nullptr},
};

ModuleDefinition module_definition(
    "dithering_tools._native", "The pixel work of dithering_tools: bounded error diffusion, palettes.",
    module_functions, nullptr);

}  // namespace
}  // namespace dithering

PyMODINIT_FUNC PyInit__native() {
    return dithering::module_definition.init();
}
