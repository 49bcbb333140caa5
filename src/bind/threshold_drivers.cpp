// The ordered and random dither drivers.
#include <chrono>
#include <utility>
#include <variant>

#include "bind/drivers.hpp"
#include "bind/matrix_arg.hpp"
#include "bind/output.hpp"
#include "bind/prepare.hpp"
#include "core/threshold/threshold_dither.hpp"

namespace dithering {
namespace {

// The seed of a call made without one: the real-time clock in nanoseconds
// (truncated to 64 bits), or a fixed value for a clock before the epoch or
// one that cannot be read.
std::uint64_t clock_seed() {
    constexpr std::uint64_t fallback = 0x9e3779b97f4a7c15ULL;
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
    if (ns < 0) return fallback;
    return static_cast<std::uint64_t>(ns);
}

}  // namespace

PyObject* ordered_dither(PyObject* image, PyObject* matrix, const CommonOptions& options) {
    if (!matrix) return ordered_dither(image, ThresholdMatrix::bayer(8), options);
    // The matrix is read before anything looks at the image or options.
    std::optional<ThresholdMatrix> parsed = parse_matrix(matrix);
    if (!parsed) return nullptr;
    return ordered_dither(image, std::move(*parsed), options);
}

// Both read a contiguous input where it is (the pixel loops write the
// result straight into its own buffer, which saves copying the input
// first); `input` keeps it alive until the loop is done.
PyObject* ordered_dither(PyObject* image, ThresholdMatrix matrix, const CommonOptions& options) {
    BorrowedPixels input;
    std::optional<Prepared> p = prepare(image, options, &input);
    if (!p) return nullptr;
    PyThreadState* thread = PyEval_SaveThread();
    if (const auto* palette = std::get_if<Palette>(&p->target)) {
        ordered_palette(p->img.view(), p->space, *palette, p->strength, matrix, input.bytes);
    } else {
        ordered_levels(p->img.view(), p->space, std::get<Levels>(p->target), p->strength, matrix,
                       input.bytes);
    }
    PyEval_RestoreThread(thread);
    return into_output(std::move(p->img), p->mode);
}

PyObject* random_dither(PyObject* image, std::optional<Int128> seed, const CommonOptions& options) {
    BorrowedPixels input;
    std::optional<Prepared> p = prepare(image, options, &input);
    if (!p) return nullptr;
    // Only the low 64 bits count: seeds that differ by a multiple of 2^64
    // are the same seed, and -1 is 2^64 - 1.
    const std::uint64_t seed64 = seed ? seed->low : clock_seed();
    const std::uint64_t state = random_state_from_seed(seed64);
    PyThreadState* thread = PyEval_SaveThread();
    if (const auto* palette = std::get_if<Palette>(&p->target)) {
        random_palette(p->img.view(), p->space, *palette, p->strength, state, input.bytes);
    } else {
        random_levels(p->img.view(), p->space, std::get<Levels>(p->target), p->strength, state,
                      input.bytes);
    }
    PyEval_RestoreThread(thread);
    return into_output(std::move(p->img), p->mode);
}

}  // namespace dithering
