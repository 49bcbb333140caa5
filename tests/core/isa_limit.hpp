// The test and benchmark programs' one override of the instruction-set
// choice: `--isa=NAME` on the command line, or else the variable
// DITHERING_CORE_ISA (portable, vec128 or avx2), caps what every kernel
// may pick (limit_isa), so the production routes run as on a processor
// without the wider sets. The extension modules read no such thing.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include "core/simd/isa.hpp"

namespace core_tests {

// Applies the override, if any, before any kernel has picked. False, with
// a message on stderr, for a name that is not an instruction set; true
// otherwise, the matched argument removed from argv (so positional
// arguments keep their places).
inline bool apply_isa_limit(int& argc, char** argv) {
    const char* name = std::getenv("DITHERING_CORE_ISA");
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--isa=", 6) != 0) continue;
        name = argv[i] + 6;
        for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
        --argc;
        break;
    }
    if (name == nullptr || *name == '\0') return true;
    const std::optional<dithering::Isa> isa = dithering::isa_named(name);
    if (!isa) {
        std::fprintf(stderr, "unknown instruction set '%s' (portable, vec128, avx2)\n", name);
        return false;
    }
    if (!dithering::limit_isa(*isa)) {
        std::fprintf(stderr, "the instruction set was picked before --isa could cap it\n");
        return false;
    }
    return true;
}

}  // namespace core_tests
