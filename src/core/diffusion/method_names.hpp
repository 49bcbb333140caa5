// The error-diffusion method names and their aliases.
#pragma once

#include <string>
#include <string_view>

#include "core/diffusion/kernels.hpp"

namespace dithering {

// The kernel a method name or alias resolves to, or nullptr. Only exact
// matches of the normalised name against the alias keys count.
const Kernel* parse_method(std::string_view name);

// "'floyd_steinberg', 'false_floyd_steinberg', ..." in table order, as the
// unmatched-name messages list them.
std::string quoted_method_names();

}  // namespace dithering
