// Placeholders for the drivers whose pixel loops have not landed yet.
#include "bind/drivers.hpp"

#include <string>

#include "bind/errors.hpp"

namespace dithering {

PyObject* ordered_dither(PyObject*, PyObject*, const CommonOptions&) {
    return raise(PyExc_NotImplementedError, "ordered_dither is not implemented yet");
}

PyObject* random_dither(PyObject*, std::optional<Int128>, const CommonOptions&) {
    return raise(PyExc_NotImplementedError, "random_dither is not implemented yet");
}

}  // namespace dithering
