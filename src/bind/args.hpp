// Matching fast-call arguments to parameters, and the conversion rules.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "bind/signature.hpp"

namespace dithering {

// Fills `slots` (one per parameter: positional ones first, then keyword-only
// ones, in declaration order) with borrowed references to the given
// arguments, nullptr where a parameter was not given. Returns false with a
// TypeError set on too many positional arguments, an unknown or repeated
// keyword, or a missing `image`. These errors carry no note.
bool match_arguments(const Signature& signature, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> slots);

// A signed 128-bit integer in two's complement, as two 64-bit halves: the
// seed is any such integer, of which only the low 64 bits count.
struct Int128 {
    std::int64_t high = 0;
    std::uint64_t low = 0;
};

// The conversion rules. Each takes the argument (nullptr when omitted, which
// keeps `out` at its default) and the parameter name; on failure it returns
// false with the exception set and the note "while processing '<name>'"
// added.

// An int or __index__ object, 0 .. 2**32 - 1.
bool convert_uint32(PyObject* arg, const char* name, std::uint32_t& out);
// None is the same as omitted; any integer from -2**127 to 2**127 - 1.
bool convert_int128(PyObject* arg, const char* name, std::optional<Int128>& out);
// A float, or anything PyFloat_AsDouble accepts, narrowed to single precision.
bool convert_float(PyObject* arg, const char* name, float& out);
// Only a bool or NumPy's boolean scalar.
bool convert_bool(PyObject* arg, const char* name, bool& out);
// A str (or subclass); the UTF-8 view lives as long as the argument does.
bool convert_text(PyObject* arg, const char* name, std::string_view& out);

// None and omitted both mean "absent" for the object-valued parameters.
inline PyObject* optional_object(PyObject* arg) {
    return arg == Py_None ? nullptr : arg;
}

}  // namespace dithering
