// Small helpers for raising and annotating Python exceptions.
#pragma once

#include <Python.h>

#include <string>

namespace dithering {

// Raises `type` with `message` (UTF-8) as its only argument. Returns
// nullptr so that callers can `return raise(...)`.
PyObject* raise(PyObject* type, const std::string& message);

// Adds `note` to the exception being raised, through its add_note method.
// If that fails, the secondary failure is dropped and the original
// exception stays as it was.
void add_note_to_current_exception(const char* note);

}  // namespace dithering
