// Single-precision values written out for messages.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

namespace dithering {

// The shortest plain decimal that reads back as the same float, never in
// exponent form: 2.0 -> "2", 1.1 -> "1.1", 1e20 -> "100000000000000000000",
// -0.0 -> "-0"; NaN -> "NaN", infinities -> "inf" and "-inf". A text reads
// back as the float nearest its decimal value (ties to even). Of equally
// short texts that read back, the one nearest the value. The digits come
// from the interpreter's correctly rounded conversions: std::to_chars for a
// float would make the module need a newer C++ runtime than all the rest of
// it does (GCC 11's libstdc++, macOS 13.3).
// Empty, with the interpreter's exception set, only when it runs out of
// memory. Runs attached, with no exception set.
std::optional<std::string> float_text(float value);

}  // namespace dithering
