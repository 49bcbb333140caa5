// The module definition: multi-phase initialisation and the execution slot.
#include <Python.h>

#include "bind/functions.hpp"
#include "bind/module_definition.hpp"
#include "bind/once.hpp"
#include "bind/pyref.hpp"

namespace dithering {
namespace {

// From pyproject.toml's version, through the build (CMakeLists.txt).
constexpr const char VERSION[] = DITHERING_VERSION;

// Interned "__all__" and "__name__", made once per process and kept for its
// life (interned strings may be shared by every interpreter thread).
OnceCache<PyObject*> all_name;
OnceCache<PyObject*> module_name_attr;

PyObject* interned(OnceCache<PyObject*>& cache, const char* text) {
    return cache.get([text] { return PyUnicode_InternFromString(text); });
}

// Appends `name` to the module's __all__ (creating the list when the module
// has none yet), then sets the attribute.
int add_attribute(PyObject* module, PyObject* name, PyObject* value) {
    PyObject* all_key = interned(all_name, "__all__");
    if (!all_key) return -1;
    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_key));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_key, all.get()) < 0) return -1;
    } else if (!PyList_Check(all.get())) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'list'",
                     Py_TYPE(all.get())->tp_name);
        return -1;
    }
    if (PyList_Append(all.get(), name) < 0) return -1;
    return PyObject_SetAttr(module, name, value);
}

int add_function(PyObject* module, PyMethodDef* record) {
    PyObject* name_key = interned(module_name_attr, "__name__");
    if (!name_key) return -1;
    PyRef module_name = PyRef::steal(PyObject_GetAttr(module, name_key));
    if (!module_name) return -1;
    PyRef function = PyRef::steal(PyCMethod_New(record, module, module_name.get(), nullptr));
    if (!function) return -1;
    PyRef function_name = PyRef::steal(PyObject_GetAttr(function.get(), name_key));
    if (!function_name) return -1;
    if (!PyUnicode_Check(function_name.get())) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'str'",
                     Py_TYPE(function_name.get())->tp_name);
        return -1;
    }
    return add_attribute(module, function_name.get(), function.get());
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'module'",
                     Py_TYPE(module)->tp_name);
        return -1;
    }
    PyRef version_name = PyRef::steal(PyUnicode_FromString("__version__"));
    if (!version_name) return -1;
    PyRef version = PyRef::steal(PyUnicode_FromString(VERSION));
    if (!version) return -1;
    if (add_attribute(module, version_name.get(), version.get()) < 0) return -1;
    for (PyMethodDef& record : FUNCTION_RECORDS) {
        if (add_function(module, &record) < 0) return -1;
    }
    return 0;
}

ModuleDefinition module_definition("dithering", "" /* __doc__ present but empty */,
                                   nullptr /* the execution slot adds the functions */,
                                   exec_module);

}  // namespace
}  // namespace dithering

PyMODINIT_FUNC PyInit_dithering() {
    return dithering::module_definition.init();
}
