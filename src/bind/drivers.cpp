// Placeholders for the drivers whose pixel loops have not landed yet.
#include "bind/drivers.hpp"

#include <string>

#include "bind/errors.hpp"
#include "core/method_names.hpp"
#include "core/quoting.hpp"

namespace dithering {

PyObject* error_diffusion(PyObject*, std::string_view method, bool,
                          const CommonOptions&) {
    // The method name is resolved before anything else looks at the image.
    if (!parse_method(method)) {
        return raise(PyExc_ValueError,
                     "unknown error-diffusion method " + quote_text(method) +
                         "; valid values: " + quoted_method_names());
    }
    return raise(PyExc_NotImplementedError, "error_diffusion is not implemented yet");
}

PyObject* ordered_dither(PyObject*, PyObject*, const CommonOptions&) {
    return raise(PyExc_NotImplementedError, "ordered_dither is not implemented yet");
}

PyObject* random_dither(PyObject*, std::optional<Int128>, const CommonOptions&) {
    return raise(PyExc_NotImplementedError, "random_dither is not implemented yet");
}

}  // namespace dithering
