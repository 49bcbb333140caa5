// Reading the `matrix` argument of ordered dither.
#include "bind/numpy_headers.hpp"

#include "bind/matrix_arg.hpp"

#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "bind/errors.hpp"
#include "bind/numpy_api.hpp"
#include "bind/pyref.hpp"
#include "bind/quoting.hpp"
#include "bind/text_format.hpp"
#include "core/threshold/matrix_names.hpp"

namespace dithering {
namespace {

// The integer reading: true when `matrix` is an integer that fits 64
// unsigned bits (then `out` holds it); false, with no exception, when it is
// not an integer or does not fit (negative or too large), so that the
// custom-matrix reading gets its turn. An __index__ that raises passes its
// exception through (reported by `failed`).
bool read_integer(PyObject* matrix, unsigned long long& out, bool& failed) {
    failed = false;
    if (!PyIndex_Check(matrix)) return false;
    PyRef integer = PyRef::steal(PyNumber_Index(matrix));
    if (!integer) {
        // A type that only pretends to be an integer (NumPy's bool scalar
        // refuses __index__) is read as a custom matrix instead.
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return false;
        }
        failed = true;
        return false;
    }
    out = PyLong_AsUnsignedLongLong(integer.get());
    if (out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            failed = true;
            return false;
        }
        PyErr_Clear();
        return false;
    }
    return true;
}

template <class T>
bool read_values(PyArrayObject* array, int type, std::vector<T>& values) {
    // The same conversion as astype(): unsafe casts, so an unsigned value of
    // 2^63 or more wraps to a negative int64. C order flattens row-major.
    PyArray_Descr* descr = PyArray_DescrFromType(type);  // stolen
    PyRef converted = PyRef::steal(PyArray_FromArray(
        array, descr, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST));
    if (!converted) return false;
    auto* data = static_cast<const T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(converted.get())));
    values.assign(data, data + PyArray_SIZE(reinterpret_cast<PyArrayObject*>(converted.get())));
    return true;
}

std::optional<ThresholdMatrix> read_custom_matrix(PyObject* matrix) {
    if (!ensure_numpy_api()) return std::nullopt;
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return std::nullopt;
    PyRef result = PyRef::steal(PyObject_CallMethod(numpy.get(), "asarray", "(O)", matrix));
    if (!result) return std::nullopt;
    if (!PyArray_Check(result.get())) {
        PyErr_SetString(PyExc_TypeError, "numpy.asarray did not return an array");
        return std::nullopt;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(result.get());
    const int ndim = PyArray_NDIM(array);
    std::vector<std::int64_t> shape(PyArray_DIMS(array), PyArray_DIMS(array) + ndim);
    if (ndim != 2 || shape[0] == 0 || shape[1] == 0) {
        raise(PyExc_ValueError,
              "custom dither matrix must be a non-empty 2-D array, got shape " +
                  format_list(shape) +
                  "; pass 'bayerNxN', the size as an int (2, 4, 8, 16), or a 2-D numpy array");
        return std::nullopt;
    }
    const auto rows = static_cast<std::size_t>(shape[0]);
    const auto cols = static_cast<std::size_t>(shape[1]);
    const char kind = PyArray_DESCR(array)->kind;
    std::string error;
    std::optional<ThresholdMatrix> parsed;
    if (kind == 'f') {
        std::vector<double> values;
        if (!read_values(array, NPY_FLOAT64, values)) return std::nullopt;
        parsed = ThresholdMatrix::from_thresholds(rows, cols, values, error);
    } else if (kind == 'i' || kind == 'u') {
        std::vector<std::int64_t> values;
        if (!read_values(array, NPY_INT64, values)) return std::nullopt;
        parsed = ThresholdMatrix::from_indices(rows, cols, values, error);
    } else {
        raise(PyExc_TypeError,
              "custom dither matrix must have an integer dtype (Bayer-style indices) or float "
              "dtype (thresholds in [0, 1]), got kind " +
                  quote_text(std::string_view(&kind, 1)));
        return std::nullopt;
    }
    if (!parsed) raise(PyExc_ValueError, error);
    return parsed;
}

}  // namespace

PyObject* invalid_matrix_error(std::string_view name) {
    return raise(PyExc_ValueError, "unknown dither matrix " + quote_text(name) +
                                       "; valid values: " + quoted_matrix_names() +
                                       ", the size as an int (2, 4, 8, 16), or a custom 2-D "
                                       "numpy matrix");
}

std::optional<ThresholdMatrix> parse_matrix(PyObject* matrix) {
    unsigned long long size = 0;
    bool failed = false;
    if (read_integer(matrix, size, failed)) {
        if (is_bayer_size(size)) return ThresholdMatrix::bayer(static_cast<std::size_t>(size));
        invalid_matrix_error(std::to_string(size));
        return std::nullopt;
    }
    if (failed) return std::nullopt;
    if (PyUnicode_Check(matrix)) {
        Py_ssize_t length = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(matrix, &length);
        if (!utf8) return std::nullopt;
        const std::string_view name(utf8, static_cast<std::size_t>(length));
        if (auto n = bayer_size_from_name(name)) return ThresholdMatrix::bayer(*n);
        invalid_matrix_error(name);
        return std::nullopt;
    }
    return read_custom_matrix(matrix);
}

}  // namespace dithering
