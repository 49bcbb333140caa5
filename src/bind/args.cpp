// Matching fast-call arguments to parameters, and the conversion rules.
#include "bind/args.hpp"

#include <cstring>
#include <string>

#include "bind/errors.hpp"
#include "bind/pyref.hpp"
#include "bind/text_format.hpp"

namespace dithering {
namespace {

// The keyword's parameter slot, or -1. Keyword-only parameters are searched
// first, then the positional-or-keyword ones; names compare exactly.
Py_ssize_t find_keyword(const Signature& signature, PyObject* keyword) {
    for (std::size_t i = 0; i < signature.keyword_only.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, signature.keyword_only[i]) == 0) {
            return static_cast<Py_ssize_t>(signature.positional.size() + i);
        }
    }
    for (std::size_t i = 0; i < signature.positional.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, signature.positional[i]) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

bool fail_with_note(const char* name) {
    const std::string note = std::string("while processing '") + name + "'";
    add_note_to_current_exception(note.c_str());
    return false;
}

// "'int' object is not an instance of 'bool'"; None gets its own wording.
bool fail_not_instance(PyObject* arg, const char* expected) {
    if (arg == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return false;
    }
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(arg)));
    if (qualname) {
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'",
                     qualname.get(), expected);
    }
    return false;
}

// NumPy's boolean scalar type reports module "numpy" and name "bool" (NumPy
// 2) or "bool_" (NumPy 1) in its static type name.
bool is_numpy_bool_type(PyTypeObject* type) {
    const char* full = type->tp_name;
    return std::strcmp(full, "numpy.bool") == 0 || std::strcmp(full, "numpy.bool_") == 0;
}

}  // namespace

bool match_arguments(const Signature& signature, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> slots) {
    const auto positional = static_cast<Py_ssize_t>(signature.positional.size());
    if (nargs > positional) {
        const char* verb = nargs == 1 ? "was" : "were";
        if (positional == 1) {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes 1 positional arguments but %zd %s given",
                         signature.function, nargs, verb);
        } else {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from 1 to %zd positional arguments but %zd %s given",
                         signature.function, positional, nargs, verb);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t slot = find_keyword(signature, keyword);
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         signature.function, keyword);
            return false;
        }
        PyObject*& target = slots[static_cast<std::size_t>(slot)];
        if (target) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                         signature.function, keyword);
            return false;
        }
        target = args[nargs + k];
    }
    if (!slots[0]) {
        PyErr_Format(PyExc_TypeError,
                     "%s() missing 1 required positional argument: '%s'",
                     signature.function, signature.positional[0]);
        return false;
    }
    return true;
}

bool convert_uint32(PyObject* arg, const char* name, std::uint32_t& out) {
    if (!arg) return true;
    const long value = PyLong_AsLong(arg);
    if (value == -1 && PyErr_Occurred()) return fail_with_note(name);
    if (value < 0 || value > 4294967295L) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return fail_with_note(name);
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool convert_int128(PyObject* arg, const char* name, std::optional<Int128>& out) {
    if (!arg || arg == Py_None) return true;
    PyRef integer = PyRef::steal(PyNumber_Index(arg));
    if (!integer) return fail_with_note(name);
    // The value fits 128 signed bits exactly when its floor-shifted high
    // half fits 64 signed bits.
    PyRef shift = PyRef::steal(PyLong_FromLong(64));
    if (!shift) return fail_with_note(name);
    PyRef high_part = PyRef::steal(PyNumber_Rshift(integer.get(), shift.get()));
    if (!high_part) return fail_with_note(name);
    int overflow = 0;
    const long long high = PyLong_AsLongLongAndOverflow(high_part.get(), &overflow);
    if (high == -1 && PyErr_Occurred()) return fail_with_note(name);
    if (overflow != 0) {
        PyErr_SetString(PyExc_OverflowError, "Python int larger than 128 bits");
        return fail_with_note(name);
    }
    const unsigned long long low = PyLong_AsUnsignedLongLongMask(integer.get());
    if (low == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail_with_note(name);
    out = Int128{static_cast<std::int64_t>(high), static_cast<std::uint64_t>(low)};
    return true;
}

bool convert_float(PyObject* arg, const char* name, float& out) {
    if (!arg) return true;
    double value;
    if (PyFloat_CheckExact(arg)) {
        value = PyFloat_AS_DOUBLE(arg);
    } else {
        value = PyFloat_AsDouble(arg);
        if (value == -1.0 && PyErr_Occurred()) return fail_with_note(name);
    }
    out = narrow_to_float(value);
    return true;
}

bool convert_bool(PyObject* arg, const char* name, bool& out) {
    if (!arg) return true;
    if (PyBool_Check(arg)) {
        out = arg == Py_True;
        return true;
    }
    PyTypeObject* type = Py_TYPE(arg);
    if (is_numpy_bool_type(type)) {
        inquiry truth = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
        if (!truth) {
            PyErr_Format(PyExc_TypeError,
                         "object of type '%s' does not define a '__bool__' conversion",
                         type->tp_name);
            return fail_with_note(name);
        }
        const int value = truth(arg);
        if (value < 0) return fail_with_note(name);
        out = value == 1;
        return true;
    }
    fail_not_instance(arg, "bool");
    return fail_with_note(name);
}

bool convert_text(PyObject* arg, const char* name, std::string_view& out) {
    if (!arg) return true;
    if (!PyUnicode_Check(arg)) {
        fail_not_instance(arg, "str");
        return fail_with_note(name);
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(arg, &size);
    if (!utf8) return fail_with_note(name);
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

}  // namespace dithering
