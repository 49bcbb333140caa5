// The kernel table, the weight windows and the method-name lookup.
#include <array>
#include <cmath>
#include <string>

#include "check.hpp"
#include "core/diffusion/kernels.hpp"
#include "core/diffusion/method_names.hpp"
#include "core/text/normalize.hpp"

using namespace dithering;

namespace {

bool window_equals(const Window& window, std::array<float, 8> expected) {
    for (std::size_t k = 0; k < 8; ++k) {
        if (window[k] != expected[k]) return false;
    }
    return true;
}

}  // namespace

CORE_TEST(kernel_table_invariants) {
    for (const Kernel& kernel : KERNELS) {
        float sum = 0.0f;
        for (std::size_t i = 0; i < kernel.taps.size(); ++i) {
            const Tap& tap = kernel.taps[i];
            CHECK(tap.dy >= 0 && tap.dy <= 2);
            CHECK(tap.dx >= -2 && tap.dx <= 2);
            CHECK(tap.dy > 0 || tap.dx >= 1);
            for (std::size_t j = 0; j < i; ++j) {
                CHECK(!(kernel.taps[j].dx == tap.dx && kernel.taps[j].dy == tap.dy));
            }
            sum += tap.weight;
        }
        if (kernel.name == "atkinson") {
            CHECK(sum == 6.0f && kernel.divisor == 8.0f);
        } else {
            CHECK(sum == kernel.divisor);
        }
    }
}

CORE_TEST(kernel_rows_floyd_steinberg) {
    const KernelRows rows = kernel_rows(KERNELS[0], 1.0f);
    CHECK(window_equals(rows.forward[0], {0, 0, 0, 0.4375f, 0, 0, 0, 0}));
    CHECK(window_equals(rows.forward[1], {0, 0.1875f, 0.3125f, 0.0625f, 0, 0, 0, 0}));
    CHECK(window_equals(rows.forward[2], {0, 0, 0, 0, 0, 0, 0, 0}));
    CHECK(window_equals(rows.mirrored[0], {0, 0.4375f, 0, 0, 0, 0, 0, 0}));
    CHECK(window_equals(rows.mirrored[1], {0, 0.0625f, 0.3125f, 0.1875f, 0, 0, 0, 0}));
    CHECK(rows.row_used[0] && rows.row_used[1] && !rows.row_used[2]);
}

CORE_TEST(kernel_rows_scaling_and_used_rows) {
    const KernelRows none = kernel_rows(KERNELS[0], 0.0f);
    CHECK(!none.row_used[0] && !none.row_used[1] && !none.row_used[2]);
    const KernelRows nan = kernel_rows(KERNELS[0], std::nanf(""));
    CHECK(nan.row_used[0] && nan.row_used[1] && !nan.row_used[2]);
    const KernelRows false_fs = kernel_rows(*parse_method("false_floyd_steinberg"), 1.0f);
    CHECK(!false_fs.row_used[2]);
    const KernelRows atkinson = kernel_rows(*parse_method("atkinson"), 1.0f);
    CHECK(atkinson.row_used[0] && atkinson.row_used[1] && atkinson.row_used[2]);
    CHECK(window_equals(atkinson.forward[2], {0, 0, 0.125f, 0, 0, 0, 0, 0}));
    // Divide first, then scale: 7/16 * 0.3 differs from 7 * 0.3 / 16.
    const KernelRows scaled = kernel_rows(KERNELS[0], 0.3f);
    CHECK(scaled.forward[0][3] == (7.0f / 16.0f) * 0.3f);
}

CORE_TEST(normalize_rules) {
    CHECK(normalize("Floyd-Steinberg") == "floydsteinberg");
    CHECK(normalize("FLOYD_STEINBERG") == "floydsteinberg");
    CHECK(normalize(" f s ") == "fs");
    CHECK(normalize("fs\t") == "fs\t");
    CHECK(normalize("") == "");
    CHECK(normalize("\xC3\x89tude") == "\xC3\x89tude");  // only ASCII is lowered
}

CORE_TEST(parse_method_aliases) {
    const char* fs_forms[] = {"fs", "FS", "F-S", "f_s", " fs ", "Floyd Steinberg"};
    for (const char* form : fs_forms) CHECK(parse_method(form) == &KERNELS[0]);
    CHECK(parse_method("sierra-2-4a") == &KERNELS[8]);
    CHECK(parse_method("Sierra24A") == &KERNELS[8]);
    CHECK(parse_method("sierra_2") == &KERNELS[7]);
    CHECK(parse_method("sierra_3") == &KERNELS[6]);
    CHECK(parse_method("jarvis") == &KERNELS[2]);
    CHECK(parse_method("false-floyd-steinberg") == &KERNELS[1]);
    const char* unknown[] = {"judice", "ninke", "jjnk", "false_fs", "fs\t", "", "\xEF\xBC\xA6\xEF\xBC\xB3"};
    for (const char* name : unknown) CHECK(parse_method(name) == nullptr);
}
