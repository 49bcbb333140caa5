// Which instruction sets this processor runs.
#include "core/simd/isa.hpp"

#include <atomic>

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
        case Isa::avx512:
            return DITHERING_ARCH_X86 && cpu_has_avx512();
    }
    return false;
}

namespace {

// The cap limit_isa sets, and whether a kernel has asked widest_isa yet.
// Atomics: kernels pick from many threads at once.
std::atomic<Isa> isa_limit{ALL_ISAS.back()};
std::atomic<bool> isa_asked{false};

Isa widest_available() noexcept {
    for (auto isa = ALL_ISAS.rbegin(); isa != ALL_ISAS.rend(); ++isa) {
        if (isa_available(*isa)) return *isa;
    }
    return Isa::portable;
}

}  // namespace

Isa widest_isa() noexcept {
    static const Isa widest = widest_available();
    if (!isa_asked.load(std::memory_order_relaxed)) isa_asked.store(true);
    const Isa limit = isa_limit.load(std::memory_order_relaxed);
    return limit < widest ? limit : widest;
}

bool limit_isa(Isa isa) noexcept {
    if (isa_asked.load()) return false;
    isa_limit.store(isa);
    return true;
}

std::optional<Isa> isa_named(std::string_view name) noexcept {
    for (const Isa isa : ALL_ISAS) {
        if (name == isa_name(isa)) return isa;
    }
    return std::nullopt;
}

const char* isa_name(Isa isa) noexcept {
    switch (isa) {
        case Isa::portable: return "portable";
        case Isa::vec128: return "vec128";
        case Isa::avx2: return "avx2";
        case Isa::avx512: return "avx512";
    }
    return "?";
}

}  // namespace dithering
