// A minimal test harness for the C++ core: CHECK records failures and the
// runner's exit status says whether any occurred.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace core_tests {

struct Case {
    const char* name;
    void (*body)();
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int& failures() {
    static int count = 0;
    return count;
}

struct Register {
    Register(const char* name, void (*body)()) { registry().push_back({name, body}); }
};

inline void report(bool ok, const char* expr, const char* file, int line) {
    if (!ok) {
        ++failures();
        std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", file, line, expr);
    }
}

}  // namespace core_tests

#define CORE_TEST(name)                                                  \
    static void name();                                                  \
    static const core_tests::Register name##_registration(#name, name); \
    static void name()

#define CHECK(expr) core_tests::report(static_cast<bool>(expr), #expr, __FILE__, __LINE__)
