// Runs every registered core test case and reports the failures; with
// --isa=NAME (or DITHERING_CORE_ISA) every production route runs capped at
// that instruction set.
#include <cstdio>

#include "check.hpp"
#include "isa_limit.hpp"

int main(int argc, char** argv) {
    if (!core_tests::apply_isa_limit(argc, argv)) return 2;
    std::printf("instruction sets up to %s\n", dithering::isa_name(dithering::widest_isa()));
    for (const auto& test : core_tests::registry()) {
        const int before = core_tests::failures();
        test.body();
        std::printf("%s %s\n", core_tests::failures() == before ? "ok  " : "FAIL", test.name);
    }
    std::printf("%zu cases, %d failed checks\n", core_tests::registry().size(),
                core_tests::failures());
    return core_tests::failures() == 0 ? 0 : 1;
}
