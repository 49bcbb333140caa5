// Lazy, once-per-process loading of NumPy's C API table.
#define DITHERING_DEFINE_NUMPY_API
#include "bind/numpy_headers.hpp"

#include "bind/numpy_api.hpp"
#include "bind/once.hpp"
#include "bind/pyref.hpp"

namespace dithering {
namespace {

OnceCache<void**> api_table;

// NumPy 2 moved its core package from numpy.core to numpy._core; ask the
// installed version which one holds the table.
const char* core_multiarray_name() {
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    PyRef version = PyRef::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return nullptr;
    PyRef lib = PyRef::steal(PyImport_ImportModule("numpy.lib"));
    if (!lib) return nullptr;
    PyRef parsed = PyRef::steal(
        PyObject_CallMethod(lib.get(), "NumpyVersion", "(O)", version.get()));
    if (!parsed) return nullptr;
    PyRef major = PyRef::steal(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major) return nullptr;
    const long value = PyLong_AsLong(major.get());
    if (value == -1 && PyErr_Occurred()) return nullptr;
    return value > 1 ? "numpy._core.multiarray" : "numpy.core.multiarray";
}

// NumPy's own compatibility checks of the table it handed us, with its own
// messages. PyArray_API must already point at the table.
bool table_is_compatible() {
    if (NPY_VERSION < PyArray_GetNDArrayCVersion()) {
        PyErr_Format(PyExc_ImportError,
                     "module compiled against ABI version 0x%x but this "
                     "version of numpy is 0x%x",
                     static_cast<int>(NPY_VERSION),
                     static_cast<int>(PyArray_GetNDArrayCVersion()));
        return false;
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    if (NPY_FEATURE_VERSION > PyArray_RUNTIME_VERSION) {
        PyErr_Format(PyExc_ImportError,
                     "module was compiled against NumPy C-API version 0x%x "
                     "(NumPy " NPY_FEATURE_VERSION_STRING
                     ") but the running NumPy has C-API version 0x%x",
                     static_cast<int>(NPY_FEATURE_VERSION),
                     PyArray_RUNTIME_VERSION);
        return false;
    }
    // The byte order this module was compiled for, which must be NumPy's.
#if NPY_BYTE_ORDER == NPY_BIG_ENDIAN
    if (PyArray_GetEndianness() != NPY_CPU_BIG) {
        PyErr_SetString(PyExc_ImportError,
                        "module compiled as big endian, but detected "
                        "different endianness at runtime");
        return false;
    }
#else
    if (PyArray_GetEndianness() != NPY_CPU_LITTLE) {
        PyErr_SetString(PyExc_ImportError,
                        "module compiled as little endian, but detected "
                        "different endianness at runtime");
        return false;
    }
#endif
    return true;
}

void** load_table() {
    const char* module_name = core_multiarray_name();
    if (!module_name) return nullptr;
    PyRef multiarray = PyRef::steal(PyImport_ImportModule(module_name));
    if (!multiarray) return nullptr;
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return nullptr;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_ImportError, "_ARRAY_API is not PyCapsule object");
        return nullptr;
    }
    auto* table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (!table) return nullptr;
    PyArray_API = table;
    if (!table_is_compatible()) {
        PyArray_API = nullptr;
        return nullptr;
    }
    return table;
}

}  // namespace

bool ensure_numpy_api() { return api_table.get(load_table) != nullptr; }

}  // namespace dithering
