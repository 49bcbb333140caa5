// Processor features, asked once per process.
#include "core/simd/cpu_features.hpp"

#include "core/simd/arch.hpp"

namespace dithering {
namespace {

#if DITHERING_ARCH_X86
// GCC's feature test also checks that the OS saves the AVX registers. The
// init call makes the answer right even before the runtime's constructors
// have run (a caller in another constructor).
bool ask(bool avx2) noexcept {
    __builtin_cpu_init();
    return (avx2 ? __builtin_cpu_supports("avx2") : __builtin_cpu_supports("ssse3")) != 0;
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
