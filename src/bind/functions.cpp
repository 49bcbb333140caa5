// Entry points of the module functions: match, convert, call the driver.
#include "bind/functions.hpp"

#include <optional>
#include <string_view>

#include "bind/args.hpp"
#include "bind/docstrings.hpp"
#include "bind/drivers.hpp"
#include "bind/error_diffusion_entry.hpp"
#include "bind/errors.hpp"
#include "bind/pyref.hpp"
#include "bind/quoting.hpp"
#include "core/diffusion/kernels.hpp"
#include "core/diffusion/method_names.hpp"
#include "core/text/normalize.hpp"
#include "core/threshold/matrix_names.hpp"

namespace dithering {
namespace {

constexpr const char* IMAGE_AND_METHOD[] = {"image", "method"};
constexpr const char* IMAGE_AND_MATRIX[] = {"image", "matrix"};
constexpr const char* IMAGE_ONLY[] = {"image"};

constexpr const char* ORDERED_DITHER_KEYWORDS[] = {
    "levels", "palette", "strength", "linear", "preserve_alpha"};
constexpr const char* RANDOM_DITHER_KEYWORDS[] = {
    "levels", "palette", "seed", "strength", "linear", "preserve_alpha"};
constexpr const char* DITHER_KEYWORDS[] = {
    "levels", "palette", "serpentine", "seed", "strength", "linear", "preserve_alpha"};

constexpr Signature ORDERED_DITHER_SIGNATURE{"ordered_dither", IMAGE_AND_MATRIX,
                                             ORDERED_DITHER_KEYWORDS};
constexpr Signature RANDOM_DITHER_SIGNATURE{"random_dither", IMAGE_ONLY,
                                            RANDOM_DITHER_KEYWORDS};
constexpr Signature DITHER_SIGNATURE{"dither", IMAGE_AND_METHOD, DITHER_KEYWORDS};

static_assert(documents(ORDERED_DITHER_SIGNATURE, docs::ORDERED_DITHER));
static_assert(documents(RANDOM_DITHER_SIGNATURE, docs::RANDOM_DITHER));
static_assert(documents(DITHER_SIGNATURE, docs::DITHER));

PyObject* ordered_dither_entry(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    enum { IMAGE, MATRIX, LEVELS, PALETTE, STRENGTH, LINEAR, PRESERVE_ALPHA, COUNT };
    PyObject* slots[COUNT] = {};
    if (!match_arguments(ORDERED_DITHER_SIGNATURE, args, nargs, kwnames, slots)) return nullptr;
    CommonOptions options;
    options.palette = optional_object(slots[PALETTE]);
    if (!convert_uint32(slots[LEVELS], "levels", options.levels) ||
        !convert_final_options(slots[STRENGTH], slots[LINEAR], slots[PRESERVE_ALPHA], options)) {
        return nullptr;
    }
    return ordered_dither(slots[IMAGE], optional_object(slots[MATRIX]), options);
}

PyObject* random_dither_entry(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    enum { IMAGE, LEVELS, PALETTE, SEED, STRENGTH, LINEAR, PRESERVE_ALPHA, COUNT };
    PyObject* slots[COUNT] = {};
    if (!match_arguments(RANDOM_DITHER_SIGNATURE, args, nargs, kwnames, slots)) return nullptr;
    std::optional<Int128> seed;
    CommonOptions options;
    options.palette = optional_object(slots[PALETTE]);
    if (!convert_uint32(slots[LEVELS], "levels", options.levels) ||
        !convert_int128(slots[SEED], "seed", seed) ||
        !convert_final_options(slots[STRENGTH], slots[LINEAR], slots[PRESERVE_ALPHA], options)) {
        return nullptr;
    }
    return random_dither(slots[IMAGE], seed, options);
}

// Picks the algorithm from the method text: error-diffusion names and
// aliases first, then "random" (after normalising), then matrix names.
PyObject* dispatch(PyObject* image, std::string_view method, bool serpentine,
                   std::optional<Int128> seed, const CommonOptions& options) {
    if (parse_method(method)) {
        return error_diffusion(image, method, options, DiffusionOptions{.serpentine = serpentine});
    }
    if (normalize(method) == "random") return random_dither(image, seed, options);
    // A text can only take the name reading of a matrix argument, so the
    // name is read here directly and the tile handed on already built.
    if (auto size = bayer_size_from_name(method)) {
        return ordered_dither(image, ThresholdMatrix::bayer(*size), options);
    }
    return raise(PyExc_ValueError, "unknown dither method " + quote_text(method) +
                                       "; valid values: " + quoted_method_names() + ", " +
                                       quoted_matrix_names() + ", 'random'");
}

PyObject* dither_entry(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    enum { IMAGE, METHOD, LEVELS, PALETTE, SERPENTINE, SEED, STRENGTH, LINEAR, PRESERVE_ALPHA, COUNT };
    PyObject* slots[COUNT] = {};
    if (!match_arguments(DITHER_SIGNATURE, args, nargs, kwnames, slots)) return nullptr;
    std::string_view method = DEFAULT_METHOD;
    bool serpentine = false;
    std::optional<Int128> seed;
    CommonOptions options;
    options.palette = optional_object(slots[PALETTE]);
    if (!convert_text(slots[METHOD], "method", method) ||
        !convert_uint32(slots[LEVELS], "levels", options.levels) ||
        !convert_bool(slots[SERPENTINE], "serpentine", serpentine) ||
        !convert_int128(slots[SEED], "seed", seed) ||
        !convert_final_options(slots[STRENGTH], slots[LINEAR], slots[PRESERVE_ALPHA], options)) {
        return nullptr;
    }
    return dispatch(slots[IMAGE], method, serpentine, seed, options);
}

PyObject* py_error_diffusion(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guard_entry([&] { return error_diffusion_entry(args, nargs, kwnames, {}); });
}

PyObject* py_ordered_dither(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guard_entry([&] { return ordered_dither_entry(args, nargs, kwnames); });
}

PyObject* py_random_dither(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return guard_entry([&] { return random_dither_entry(args, nargs, kwnames); });
}

PyObject* py_dither(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_entry([&] { return dither_entry(args, nargs, kwnames); });
}

// A new list of str built from `count` names produced by `name_at(i)`.
template <class NameAt>
PyObject* new_name_list(std::size_t count, NameAt name_at) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string name(name_at(i));
        PyObject* item = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* py_available_methods(PyObject*, PyObject*) {
    return guard_entry([] {
        return new_name_list(KERNELS.size(), [](std::size_t i) { return KERNELS[i].name; });
    });
}

PyObject* py_available_matrices(PyObject*, PyObject*) {
    return guard_entry([] {
        return new_name_list(BAYER_SIZES.size(),
                             [](std::size_t i) { return bayer_name(BAYER_SIZES[i]); });
    });
}

template <class Fn>
PyCFunction as_cfunction(Fn fn) {
    // The interpreter calls fast-call entry points through the generic
    // PyCFunction pointer type and casts back according to the flags.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int FASTCALL_FLAGS = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
constexpr int NOARGS_FLAGS = METH_NOARGS | METH_STATIC;

}  // namespace

std::array<PyMethodDef, 6> FUNCTION_RECORDS = {{
    {"dither", as_cfunction(py_dither), FASTCALL_FLAGS, docs::DITHER},
    {"ordered_dither", as_cfunction(py_ordered_dither), FASTCALL_FLAGS, docs::ORDERED_DITHER},
    {"error_diffusion", as_cfunction(py_error_diffusion), FASTCALL_FLAGS, docs::ERROR_DIFFUSION},
    {"random_dither", as_cfunction(py_random_dither), FASTCALL_FLAGS, docs::RANDOM_DITHER},
    {"available_matrices", as_cfunction(py_available_matrices), NOARGS_FLAGS, docs::AVAILABLE_MATRICES},
    {"available_methods", as_cfunction(py_available_methods), NOARGS_FLAGS, docs::AVAILABLE_METHODS},
}};

}  // namespace dithering
