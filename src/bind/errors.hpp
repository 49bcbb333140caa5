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

#include <new>
#include <stdexcept>

namespace dithering {

// Runs an entry point's body, turning a C++ allocation failure (from a
// vector or string growing) into MemoryError: no exception may cross into
// the interpreter, which would abort the process.
template <class Body>
auto guard_entry(Body body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    }
    return decltype(body())();
}

}  // namespace dithering
