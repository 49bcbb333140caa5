// Reading the image argument into an owned byte copy.
#include "bind/numpy_headers.hpp"

#include "bind/intake.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "bind/errors.hpp"
#include "bind/numpy_api.hpp"
#include "bind/pyref.hpp"
#include "bind/text_format.hpp"

namespace dithering {
namespace {

bool is_uint8_array(PyObject* object) {
    if (!PyArray_Check(object)) return false;
    PyArray_Descr* descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(object));
    if (descr->type_num == NPY_UBYTE) return true;
    PyArray_Descr* uint8 = PyArray_DescrFromType(NPY_UBYTE);
    const bool equivalent = PyArray_EquivTypes(descr, uint8);
    Py_DECREF(uint8);
    return equivalent;
}

// What the PIL path hands on: the image itself (or its RGB conversion) and
// the mode its pixels are in. Not a PIL image (or PIL not installed):
// `image` stays null and no exception is set.
struct PilImage {
    PyRef image;
    std::string mode;
};

bool read_pil_image(PyObject* object, PilImage& out) {
    PyRef module = PyRef::steal(PyImport_ImportModule("PIL.Image"));
    if (!module) {
        // PIL is optional: without it nothing can be a PIL image.
        PyErr_Clear();
        return true;
    }
    PyRef image_class = PyRef::steal(PyObject_GetAttrString(module.get(), "Image"));
    if (!image_class) return false;
    const int is_instance = PyObject_IsInstance(object, image_class.get());
    if (is_instance < 0) PyErr_Clear();
    if (is_instance != 1) return true;

    PyRef mode = PyRef::steal(PyObject_GetAttrString(object, "mode"));
    if (!mode) return false;
    if (!PyUnicode_Check(mode.get())) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'str'",
                     Py_TYPE(mode.get())->tp_name);
        return false;
    }
    const char* text = PyUnicode_AsUTF8(mode.get());
    if (!text) return false;
    const std::string mode_text = text;
    if (mode_text == "L" || mode_text == "LA" || mode_text == "RGB" || mode_text == "RGBA") {
        out.image = PyRef::borrow(object);
        out.mode = mode_text;
        return true;
    }
    out.image = PyRef::steal(PyObject_CallMethod(object, "convert", "s", "RGB"));
    if (!out.image) return false;
    out.mode = "RGB";
    return true;
}

PyRef as_numpy_array(PyObject* object) {
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return {};
    return PyRef::steal(PyObject_CallMethod(numpy.get(), "asarray", "(O)", object));
}

std::string dtype_text(PyObject* array) {
    PyRef dtype = PyRef::steal(PyObject_GetAttrString(array, "dtype"));
    PyRef text = dtype ? PyRef::steal(PyObject_Str(dtype.get())) : PyRef();
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8) {
        PyErr_Clear();
        return "<unknown>";
    }
    return utf8;
}

std::string shape_text(const std::vector<std::int64_t>& dims) {
    return format_list(dims);
}

// Copies the array's elements in logical row-major order into `out`,
// following the strides (which may be negative or zero).
void copy_strided(PyArrayObject* array, std::uint8_t* out) {
    const int ndim = PyArray_NDIM(array);
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    const char* base = PyArray_BYTES(array);
    const npy_intp channels = ndim == 3 ? dims[2] : 1;
    const npy_intp channel_stride = ndim == 3 ? strides[2] : 0;
    for (npy_intp y = 0; y < dims[0]; ++y) {
        const char* row = base + y * strides[0];
        for (npy_intp x = 0; x < dims[1]; ++x) {
            const char* pixel = row + x * strides[1];
            for (npy_intp c = 0; c < channels; ++c) {
                *out++ = static_cast<std::uint8_t>(pixel[c * channel_stride]);
            }
        }
    }
}

}  // namespace

std::optional<ImageArg> extract_image(PyObject* image, BorrowedPixels* borrow) {
    if (!ensure_numpy_api()) return std::nullopt;

    PyRef array;
    std::optional<std::string> mode;
    if (is_uint8_array(image)) {
        array = PyRef::borrow(image);
    } else {
        PilImage pil;
        if (!read_pil_image(image, pil)) return std::nullopt;
        if (pil.image) mode = pil.mode;
        array = as_numpy_array(pil.image ? pil.image.get() : image);
        if (!array) return std::nullopt;
        if (!is_uint8_array(array.get())) {
            raise(PyExc_TypeError,
                  "expected a uint8 image array, got dtype " + dtype_text(array.get()) +
                      "; convert with np.asarray(img, dtype=np.uint8), or "
                      "(img * 255).clip(0, 255).astype(np.uint8) for float images in [0, 1]");
            return std::nullopt;
        }
    }

    auto* arr = reinterpret_cast<PyArrayObject*>(array.get());
    const int ndim = PyArray_NDIM(arr);
    std::vector<std::int64_t> dims(PyArray_DIMS(arr), PyArray_DIMS(arr) + ndim);
    if (ndim != 2 && ndim != 3) {
        raise(PyExc_ValueError, "expected a 2-D grayscale or 3-D (H, W, C) image, got a " +
                                    std::to_string(ndim) + "-D array with shape " +
                                    shape_text(dims));
        return std::nullopt;
    }
    for (std::int64_t dim : dims) {
        if (dim == 0) {
            raise(PyExc_ValueError, "image has an empty dimension: shape " + shape_text(dims));
            return std::nullopt;
        }
    }

    Img img;
    img.shape.assign(dims.begin(), dims.end());
    img.height = img.shape[0];
    img.width = img.shape[1];
    img.channels = ndim == 3 ? img.shape[2] : 1;
    // A zero-stride view can claim a logical size that no buffer can hold.
    std::size_t size = 0;
    if (!checked_product(img.height, img.width, size) ||
        !checked_product(size, img.channels, size)) {
        raise(PyExc_ValueError, "image is too large: shape " + shape_text(dims));
        return std::nullopt;
    }
    img.pixels = allocate_pixels(size);
    if (!img.pixels) {
        PyErr_NoMemory();
        return std::nullopt;
    }
    if (PyArray_IS_C_CONTIGUOUS(arr) && borrow) {
        borrow->bytes = static_cast<const std::uint8_t*>(PyArray_DATA(arr));
        borrow->array = std::move(array);
    } else if (PyArray_IS_C_CONTIGUOUS(arr)) {
        std::memcpy(img.pixels.get(), PyArray_DATA(arr), size);
    } else {
        copy_strided(arr, img.pixels.get());
    }
    return ImageArg{std::move(img), std::move(mode)};
}

}  // namespace dithering
