// The canonical form of a user-given name, as method and matrix names are
// matched.
#pragma once

#include <string>
#include <string_view>

namespace dithering {

// Lower-cases ASCII A-Z (nothing else) and drops every space, hyphen and
// underscore; all other bytes pass through in order. Works on UTF-8 bytes,
// which is safe because those four ASCII rules never touch a multi-byte
// sequence.
std::string normalize(std::string_view name);

}  // namespace dithering
