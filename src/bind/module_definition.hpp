// ModuleDefinition: what an extension module of this project hands the
// interpreter (the dithering module and dithering_tools._native).
#pragma once

#include <Python.h>

namespace dithering {

// Multi-phase initialisation with no per-module state: the interpreter
// creates the module, adds `functions` (a table ending in an empty record,
// or null) and runs `exec` (or nothing). Neither module keeps state of its
// own, and their one-time caches are guarded (once.hpp), so each declares
// that the free-threaded interpreter need not re-enable the GIL for it.
// Lives in static storage, as the interpreter keeps the definition's
// address; the slots are filled before any PyInit_ function can run.
class ModuleDefinition {
public:
    ModuleDefinition(const char* name, const char* doc, PyMethodDef* functions,
                     int (*exec)(PyObject*))
        : definition_{PyModuleDef_HEAD_INIT, name, doc, 0, functions, slots_,
                      nullptr, nullptr, nullptr} {
        PyModuleDef_Slot* slot = slots_;
        if (exec) *slot++ = {Py_mod_exec, reinterpret_cast<void*>(exec)};
#ifdef Py_mod_gil
        *slot++ = {Py_mod_gil, Py_MOD_GIL_NOT_USED};
#endif
        *slot = {0, nullptr};
    }
    ModuleDefinition(const ModuleDefinition&) = delete;
    ModuleDefinition& operator=(const ModuleDefinition&) = delete;

    PyObject* init() { return PyModuleDef_Init(&definition_); }

private:
    PyModuleDef_Slot slots_[3] = {};
    PyModuleDef definition_;
};

}  // namespace dithering
