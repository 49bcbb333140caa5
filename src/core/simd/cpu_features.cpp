// Processor features, asked once per process.
#include "core/simd/cpu_features.hpp"

#include "core/simd/arch.hpp"
#include "core/simd/compiler.hpp"

namespace dithering {
namespace {

#if DITHERING_ARCH_X86
bool ask(bool avx2) noexcept {
    return avx2 ? compiler::cpu_runs_avx2() : compiler::cpu_runs_ssse3();
}
#else
bool ask(bool) noexcept { return false; }
#endif

}  // namespace

bool cpu_has_ssse3() noexcept {
    static const bool has = ask(false);
    return has;
}

bool cpu_has_avx2() noexcept {
    static const bool has = ask(true);
    return has;
}

}  // namespace dithering
