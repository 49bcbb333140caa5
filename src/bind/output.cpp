// Turning the working image into the Python result.
#include "bind/numpy_headers.hpp"

#include "bind/output.hpp"

#include <cstdlib>
#include <vector>

#include "bind/numpy_api.hpp"
#include "bind/pyref.hpp"

namespace dithering {
namespace {

constexpr const char OWNER_NAME[] = "dithering.pixels";

void free_pixels(PyObject* capsule) {
    std::free(PyCapsule_GetPointer(capsule, OWNER_NAME));
}

PyObject* into_pil_image(PyRef array, const std::string& mode) {
    PyRef module = PyRef::steal(PyImport_ImportModule("PIL.Image"));
    if (!module) return nullptr;
    PyRef name = PyRef::steal(PyUnicode_FromString("fromarray"));
    if (!name) return nullptr;
    // An (H, W, 2) array is not inferred as LA by every PIL release, so
    // that one mode is named; the others follow from the array's shape.
    if (mode == "LA") {
        PyRef la = PyRef::steal(PyUnicode_FromString("LA"));
        if (!la) return nullptr;
        PyObject* args[] = {module.get(), array.get(), la.get()};
        return PyObject_VectorcallMethod(name.get(), args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }
    PyObject* args[] = {module.get(), array.get()};
    return PyObject_VectorcallMethod(name.get(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace

PyObject* into_output(Img img, const std::optional<std::string>& mode) {
    if (!ensure_numpy_api()) return nullptr;
    std::size_t expected = 1;
    for (std::size_t dim : img.shape) expected *= dim;
    if (expected != img.size()) {
        PyErr_SetString(PyExc_SystemError, "shape/data length mismatch");
        return nullptr;
    }

    std::vector<npy_intp> dims(img.shape.begin(), img.shape.end());
    std::vector<npy_intp> strides(dims.size());
    npy_intp stride = 1;
    for (std::size_t i = dims.size(); i-- > 0;) {
        strides[i] = stride;
        stride *= dims[i];
    }

    PyRef owner = PyRef::steal(PyCapsule_New(img.pixels.get(), OWNER_NAME, free_pixels));
    if (!owner) return nullptr;  // img still owns the buffer and frees it
    std::uint8_t* data = img.pixels.release();

    PyArray_Descr* uint8 = PyArray_DescrFromType(NPY_UBYTE);  // stolen below
    PyRef array = PyRef::steal(PyArray_NewFromDescr(
        &PyArray_Type, uint8, static_cast<int>(dims.size()), dims.data(), strides.data(),
        data, NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) return nullptr;  // the owner frees the buffer
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0) {
        return nullptr;  // the base reference was consumed; the owner frees the buffer
    }
    if (!mode) return array.release();
    return into_pil_image(std::move(array), *mode);
}

}  // namespace dithering
