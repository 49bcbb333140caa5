// The entry of error_diffusion: its arguments matched and converted, then
// the driver.
#include "bind/error_diffusion_entry.hpp"

#include "bind/args.hpp"
#include "bind/docstrings.hpp"
#include "bind/drivers.hpp"

namespace dithering {
namespace {

constexpr const char* IMAGE_AND_METHOD[] = {"image", "method"};
constexpr const char* ERROR_DIFFUSION_KEYWORDS[] = {
    "levels", "palette", "serpentine", "strength", "linear", "preserve_alpha"};
constexpr Signature ERROR_DIFFUSION_SIGNATURE{"error_diffusion", IMAGE_AND_METHOD,
                                              ERROR_DIFFUSION_KEYWORDS};
static_assert(documents(ERROR_DIFFUSION_SIGNATURE, docs::ERROR_DIFFUSION));

}  // namespace

PyObject* error_diffusion_entry(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                const DiffusionOptions& fixed) {
    enum { IMAGE, METHOD, LEVELS, PALETTE, SERPENTINE, STRENGTH, LINEAR, PRESERVE_ALPHA, COUNT };
    PyObject* slots[COUNT] = {};
    if (!match_arguments(ERROR_DIFFUSION_SIGNATURE, args, nargs, kwnames, slots)) return nullptr;
    std::string_view method = DEFAULT_METHOD;
    DiffusionOptions diffusion = fixed;
    CommonOptions options;
    options.palette = optional_object(slots[PALETTE]);
    if (!convert_text(slots[METHOD], "method", method) ||
        !convert_uint32(slots[LEVELS], "levels", options.levels) ||
        !convert_bool(slots[SERPENTINE], "serpentine", diffusion.serpentine) ||
        !convert_final_options(slots[STRENGTH], slots[LINEAR], slots[PRESERVE_ALPHA], options)) {
        return nullptr;
    }
    return error_diffusion(slots[IMAGE], method, options, diffusion);
}

}  // namespace dithering
