// The instruction sets a loop is built for, the one question of which of
// them this processor runs, and the table through which each kernel offers
// its forms.
#pragma once

#include <array>

#include "core/simd/arch.hpp"

namespace dithering {

// portable: plain scalar loops, built everywhere. vec128: the 128-bit
// vectors of vec128.hpp (SSE2 on x86, NEON on aarch64, their portable form
// elsewhere), run by every processor. avx2: x86 AVX2, only where
// DITHERING_ARCH_X86 is set and the processor has it.
enum class Isa { portable, vec128, avx2 };

// Narrowest first.
inline constexpr std::array<Isa, 3> ALL_ISAS = {Isa::portable, Isa::vec128, Isa::avx2};

// Whether this processor (and its operating system) runs `isa`; asked once
// per process.
bool isa_available(Isa isa) noexcept;

// "portable", "vec128" or "avx2", for tests' and benchmarks' labels.
const char* isa_name(Isa isa) noexcept;

// An AVX2 form's entry in an IsaForms table: the form where this build is
// for x86, null elsewhere (where the form is not even declared).
#if DITHERING_ARCH_X86
#define DITHERING_AVX2_FORM(form) form
#else
#define DITHERING_AVX2_FORM(form) nullptr
#endif

// One kernel's forms, one entry per instruction set; a null entry where the
// kernel has no such form (or this build cannot name it). Every form of a
// kernel gives the same bytes, so callers take the best one and tests force
// each one through the same table.
template <typename Form>
struct IsaForms {
    Form portable{};
    Form vec128{};
    Form avx2{};

    constexpr Form operator[](Isa isa) const noexcept {
        switch (isa) {
            case Isa::portable: return portable;
            case Isa::vec128: return vec128;
            case Isa::avx2: return avx2;
        }
        return Form{};
    }

    // The form for `isa` when there is one and this processor runs it, else
    // null.
    Form on(Isa isa) const noexcept { return isa_available(isa) ? (*this)[isa] : Form{}; }

    // Whether on(isa) is not null.
    bool runs(Isa isa) const noexcept { return on(isa) != Form{}; }

    // The widest instruction set with a form this processor runs (portable
    // when there is none: callers of kernels without a portable form check
    // runs() first).
    Isa best_isa() const noexcept {
        if (runs(Isa::avx2)) return Isa::avx2;
        if (runs(Isa::vec128)) return Isa::vec128;
        return Isa::portable;
    }

    // on(best_isa()).
    Form best() const noexcept { return on(best_isa()); }
};

}  // namespace dithering
