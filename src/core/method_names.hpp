// Canonical forms of user-given method and matrix names.
#pragma once

#include <string>
#include <string_view>

#include "core/kernels.hpp"

namespace dithering {

// Lower-cases ASCII A-Z (nothing else) and drops every space, hyphen and
// underscore; all other bytes pass through in order. Works on UTF-8 bytes,
// which is safe because those four ASCII rules never touch a multi-byte
// sequence.
std::string normalize(std::string_view name);

// The kernel a method name or alias resolves to, or nullptr. Only exact
// matches of the normalised name against the alias keys count.
const Kernel* parse_method(std::string_view name);

// "'floyd_steinberg', 'false_floyd_steinberg', ..." in table order, as the
// unmatched-name messages list them.
std::string quoted_method_names();

}  // namespace dithering
