// Which instruction sets this processor runs.
#include "core/simd/isa.hpp"

#include "core/simd/arch.hpp"
#include "core/simd/cpu_features.hpp"

namespace dithering {

bool isa_available(Isa isa) noexcept {
    switch (isa) {
        case Isa::portable:
        case Isa::vec128:
            // SSE2 and NEON are part of their architectures' baselines; the
            // portable form of vec128 runs anywhere.
            return true;
        case Isa::avx2:
            return DITHERING_ARCH_X86 && cpu_has_avx2();
    }
    return false;
}

const char* isa_name(Isa isa) noexcept {
    switch (isa) {
        case Isa::portable: return "portable";
        case Isa::vec128: return "vec128";
        case Isa::avx2: return "avx2";
    }
    return "?";
}

}  // namespace dithering
