// Small helpers for raising and annotating Python exceptions.
#include "bind/errors.hpp"

#include "bind/pyref.hpp"

namespace dithering {

PyObject* raise(PyObject* type, const std::string& message) {
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(
        message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

namespace {

void call_add_note(PyObject* exception, const char* note) {
    PyRef text = PyRef::steal(PyUnicode_FromString(note));
    PyRef result;
    if (text) {
        result = PyRef::steal(
            PyObject_CallMethod(exception, "add_note", "(O)", text.get()));
    }
    if (!result) PyErr_Clear();
}

}  // namespace

void add_note_to_current_exception(const char* note) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exception = PyErr_GetRaisedException();
    if (!exception) return;
    call_add_note(exception, note);
    PyErr_SetRaisedException(exception);
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    call_add_note(value, note);
    PyErr_Restore(type, value, traceback);
#endif
}

}  // namespace dithering
