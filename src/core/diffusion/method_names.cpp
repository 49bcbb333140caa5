// Method names and their aliases.
#include "core/diffusion/method_names.hpp"

#include <array>
#include <utility>

#include "core/text/normalize.hpp"

namespace dithering {
namespace {

// Indices into KERNELS.
enum KernelIndex : std::size_t {
    FLOYD_STEINBERG, FALSE_FLOYD_STEINBERG, JARVIS_JUDICE_NINKE, STUCKI,
    ATKINSON, BURKES, SIERRA, SIERRA_TWO_ROW, SIERRA_LITE,
};

constexpr std::array<std::pair<std::string_view, KernelIndex>, 17> ALIASES = {{
    {"fs", FLOYD_STEINBERG},
    {"floydsteinberg", FLOYD_STEINBERG},
    {"ffs", FALSE_FLOYD_STEINBERG},
    {"falsefloydsteinberg", FALSE_FLOYD_STEINBERG},
    {"jjn", JARVIS_JUDICE_NINKE},
    {"jarvis", JARVIS_JUDICE_NINKE},
    {"jarvisjudiceninke", JARVIS_JUDICE_NINKE},
    {"stucki", STUCKI},
    {"atkinson", ATKINSON},
    {"burkes", BURKES},
    {"sierra", SIERRA},
    {"sierra3", SIERRA},
    {"sierra2", SIERRA_TWO_ROW},
    {"sierratworow", SIERRA_TWO_ROW},
    {"tworowsierra", SIERRA_TWO_ROW},
    {"sierralite", SIERRA_LITE},
    {"sierra24a", SIERRA_LITE},
}};

}  // namespace

const Kernel* parse_method(std::string_view name) {
    const std::string key = normalize(name);
    for (const auto& [alias, index] : ALIASES) {
        if (key == alias) return &KERNELS[index];
    }
    return nullptr;
}

std::string quoted_method_names() {
    std::string list;
    for (const Kernel& kernel : KERNELS) {
        if (!list.empty()) list += ", ";
        list += '\'';
        list += kernel.name;
        list += '\'';
    }
    return list;
}

}  // namespace dithering
