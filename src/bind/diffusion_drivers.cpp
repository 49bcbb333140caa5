// The error-diffusion driver: name lookup, preparation, the passes, output.
#include <string>
#include <utility>

#include "bind/drivers.hpp"
#include "bind/errors.hpp"
#include "bind/output.hpp"
#include "bind/prepare.hpp"
#include "bind/quoting.hpp"
#include "core/diffusion/error_diffusion.hpp"
#include "core/diffusion/method_names.hpp"

namespace dithering {
namespace {

PassStatus run_passes(Prepared& p, const Kernel& kernel, const DiffusionOptions& diffusion) {
    Img& img = p.img;
    const KernelRows rows = kernel_rows(kernel, p.strength);
    if (const auto* palette = std::get_if<Palette>(&p.target)) {
        return palette_pass(img.view(), p.space, *palette, rows, diffusion);
    }
    return levels_pass_channels(img.view(), p.space, std::get<Levels>(p.target), rows,
                                diffusion.serpentine);
}

}  // namespace

PyObject* error_diffusion(PyObject* image, std::string_view method, const CommonOptions& options,
                          const DiffusionOptions& diffusion) {
    // The name is resolved before anything looks at the image or options.
    const Kernel* kernel = parse_method(method);
    if (!kernel) {
        return raise(PyExc_ValueError, "unknown error-diffusion method " + quote_text(method) +
                                           "; valid values: " + quoted_method_names());
    }
    std::optional<Prepared> prepared = prepare(image, options);
    if (!prepared) return nullptr;

    PyThreadState* thread = PyEval_SaveThread();
    const PassStatus status = run_passes(*prepared, *kernel, diffusion);
    PyEval_RestoreThread(thread);

    if (status == PassStatus::out_of_memory) return PyErr_NoMemory();
    return into_output(std::move(prepared->img), prepared->mode);
}

}  // namespace dithering
