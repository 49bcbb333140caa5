// The form registry: which form production picks, and how forms that
// decline a call give way to narrower ones.
#include <optional>
#include <vector>

#include "check.hpp"
#include "core/simd/isa.hpp"

namespace {

using dithering::ALL_ISAS;
using dithering::Isa;
using dithering::IsaForms;

struct Colors {
    int colors;
};

using Form = int (*)() noexcept;

int portable_form() noexcept { return 1; }
int vec128_form() noexcept { return 2; }
int avx2_form() noexcept { return 3; }

bool small_palettes_only(const Colors& call) noexcept { return call.colors <= 16; }

constexpr IsaForms<Form, Colors> FORMS = {
    {&portable_form},
    {&vec128_form, &small_palettes_only},
    {&avx2_form},
};

// What pick must give: the widest form that runs, lies within
// widest_isa() and pays.
std::optional<Isa> expected_pick(const Colors& call) {
    std::optional<Isa> want;
    for (const Isa isa : ALL_ISAS) {
        if (!FORMS.runs(isa) || isa > dithering::widest_isa()) continue;
        if (isa == Isa::vec128 && !small_palettes_only(call)) continue;
        want = isa;
    }
    return want;
}

}  // namespace

CORE_TEST(forms_pick_the_widest_that_runs_and_pays) {
    for (const int colors : {4, 16, 17, 256}) {
        const Colors call{colors};
        CHECK(FORMS.pick_isa(call) == expected_pick(call));
        CHECK(FORMS.pick(call) == FORMS[*expected_pick(call)]);
    }
    // A large palette on a processor capped at 128-bit vectors falls to
    // the portable form, whose rule is "always".
    if (dithering::widest_isa() == Isa::vec128) CHECK(FORMS.pick({256}) == &portable_form);
}

CORE_TEST(forms_without_an_eligible_one_pick_nothing) {
    constexpr IsaForms<Form, Colors> rows_only = {{nullptr}, {&vec128_form, &small_palettes_only}};
    CHECK(!rows_only.pick_isa({256}).has_value());
    CHECK(rows_only.pick({256}) == nullptr);
    CHECK((rows_only.pick({4}) == &vec128_form) == (dithering::widest_isa() >= Isa::vec128));
}

CORE_TEST(forms_that_decline_give_way_to_narrower_ones) {
    std::vector<Isa> tried;
    const bool done = FORMS.run_widest({4}, [&](Isa isa, Form form) {
        tried.push_back(isa);
        return form() == 1;  // every form but the portable one declines
    });
    CHECK(done);
    CHECK(!tried.empty() && tried.back() == Isa::portable);
    for (std::size_t i = 1; i < tried.size(); ++i) CHECK(tried[i - 1] > tried[i]);
    CHECK(tried.front() == *expected_pick({4}));
    const bool none = FORMS.run_widest({4}, [](Isa, Form) { return false; });
    CHECK(!none);
}

CORE_TEST(forms_isa_limit_holds_once_picked) {
    // Kernels have picked by now (and the widest set is asked here), so a
    // later cap would leave some kernels on the wider forms: refused.
    const Isa widest = dithering::widest_isa();
    CHECK(!dithering::limit_isa(Isa::portable));
    CHECK(dithering::widest_isa() == widest);
    for (const Isa isa : ALL_ISAS) CHECK(dithering::isa_named(dithering::isa_name(isa)) == isa);
    CHECK(!dithering::isa_named("sse4").has_value());
}
