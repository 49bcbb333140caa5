// Runs every registered core test case and reports the failures.
#include <cstdio>

#include "check.hpp"

int main() {
    for (const auto& test : core_tests::registry()) {
        const int before = core_tests::failures();
        test.body();
        std::printf("%s %s\n", core_tests::failures() == before ? "ok  " : "FAIL", test.name);
    }
    std::printf("%zu cases, %d failed checks\n", core_tests::registry().size(),
                core_tests::failures());
    return core_tests::failures() == 0 ? 0 : 1;
}
