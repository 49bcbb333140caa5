// Processor features, asked once per process.
#include "core/simd/cpu_features.hpp"

#include "core/simd/arch.hpp"
#include "core/simd/compiler.hpp"

namespace dithering {
namespace {

bool ask_avx2() noexcept {
#if DITHERING_ARCH_X86
    return compiler::cpu_runs_avx2();
#else
    return false;
#endif
}

bool ask_avx512() noexcept {
#if DITHERING_ARCH_X86
    return compiler::cpu_runs_avx2() && compiler::cpu_runs_avx512();
#else
    return false;
#endif
}

}  // namespace

bool cpu_has_avx2() noexcept {
    static const bool has = ask_avx2();
    return has;
}

bool cpu_has_avx512() noexcept {
    static const bool has = ask_avx512();
    return has;
}

}  // namespace dithering
