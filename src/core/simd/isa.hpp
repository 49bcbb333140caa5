// The instruction sets a loop is built for, the one question of which of
// them this processor runs, and the table through which each kernel offers
// its forms and picks one: the one place where a form is chosen.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "core/simd/arch.hpp"

namespace dithering {

// portable: plain scalar loops, built everywhere. vec128: the 128-bit
// vectors of vec128.hpp (SSE2 on x86, NEON on aarch64, their portable form
// elsewhere), run by every processor. avx2: x86 AVX2, only where
// DITHERING_ARCH_X86 is set and the processor has it. avx512: x86 AVX-512
// F, BW, DQ and VL (with AVX2), likewise.
enum class Isa { portable, vec128, avx2, avx512 };

// Narrowest first.
inline constexpr std::array<Isa, 4> ALL_ISAS = {Isa::portable, Isa::vec128, Isa::avx2,
                                                Isa::avx512};

// Whether this processor (and its operating system) runs `isa`; asked once
// per process.
bool isa_available(Isa isa) noexcept;

// "portable", "vec128", "avx2" or "avx512", for tests' and benchmarks'
// labels.
const char* isa_name(Isa isa) noexcept;

// An AVX2 form in an IsaForms table: the form where this build is for x86,
// an empty one elsewhere (where the form is not even declared).
#if DITHERING_ARCH_X86
#define DITHERING_AVX2_FORM(form) form
#define DITHERING_AVX512_FORM(form) form
#else
#define DITHERING_AVX2_FORM(form) {}
#define DITHERING_AVX512_FORM(form) {}
#endif

// The widest instruction set any kernel may pick in this process: the
// widest this processor runs, unless a test or benchmark program lowered
// it with limit_isa before the first pick. Asked once, then one load.
Isa widest_isa() noexcept;

// For test and benchmark programs (neither extension module calls it):
// caps widest_isa() at `isa`, so that the production routes run as on a
// processor without the wider sets. Returns false, changing nothing, once
// any kernel has picked a form: a kernel that keeps its first pick would
// otherwise run another form than the others.
bool limit_isa(Isa isa) noexcept;

// isa_name's inverse, for those programs' --isa option.
std::optional<Isa> isa_named(std::string_view name) noexcept;

// The argument of a kernel whose forms need nothing to say whether they pay.
struct NoCall {};

// One kernel's forms, one entry per instruction set, each with the rule
// that says whether it pays for a call (null: whenever it runs); a null
// form where the kernel has none (or this build cannot name it). Every
// form of a kernel gives the same bytes, so production takes pick()'s (or
// run_widest's) and tests force each one through on().
template <typename Form, typename Call = NoCall>
struct IsaForms {
    using Pays = bool (*)(const Call&) noexcept;
    struct Entry {
        Form form{};
        Pays pays = nullptr;
    };
    Entry portable{};
    Entry vec128{};
    Entry avx2{};
    Entry avx512{};

    constexpr const Entry& entry(Isa isa) const noexcept {
        switch (isa) {
            case Isa::vec128: return vec128;
            case Isa::avx2: return avx2;
            case Isa::avx512: return avx512;
            case Isa::portable: break;
        }
        return portable;
    }

    constexpr Form operator[](Isa isa) const noexcept { return entry(isa).form; }

    // The form for `isa` when there is one and this processor runs it, else
    // null: how tests force a form, whatever it would pay.
    Form on(Isa isa) const noexcept { return isa_available(isa) ? (*this)[isa] : Form{}; }

    // Whether on(isa) is not null.
    bool runs(Isa isa) const noexcept { return on(isa) != Form{}; }

    // Whether production may take the form for `isa` on `call`: there is
    // one, it is within widest_isa(), and it pays.
    bool eligible(Isa isa, const Call& call) const noexcept {
        const Entry& e = entry(isa);
        return e.form != Form{} && isa <= widest_isa() && isa_available(isa) &&
               (e.pays == nullptr || e.pays(call));
    }

    // The production choice: the widest eligible form's instruction set,
    // nullopt when no form is eligible.
    std::optional<Isa> pick_isa(const Call& call = {}) const noexcept {
        for (auto isa = ALL_ISAS.rbegin(); isa != ALL_ISAS.rend(); ++isa) {
            if (eligible(*isa, call)) return *isa;
        }
        return std::nullopt;
    }

    // pick_isa()'s form, null when there is none.
    Form pick(const Call& call = {}) const noexcept {
        const std::optional<Isa> isa = pick_isa(call);
        return isa ? (*this)[*isa] : Form{};
    }

    // For kernels whose forms may decline a call (memory they cannot have,
    // channels they do not take): try(isa, form) on each eligible form,
    // widest first, until one returns true. False when none did.
    template <typename Try>
    bool run_widest(const Call& call, Try&& try_form) const {
        for (auto isa = ALL_ISAS.rbegin(); isa != ALL_ISAS.rend(); ++isa) {
            if (eligible(*isa, call) && try_form(*isa, (*this)[*isa])) return true;
        }
        return false;
    }
};

}  // namespace dithering
