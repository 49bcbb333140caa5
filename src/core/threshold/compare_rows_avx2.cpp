// The compare rows over AVX2 registers: 32 bytes per vector, streaming
// stores where the caller asks for them.
//
// The whole of the loops is compiled for AVX2 through the target pragma,
// so that the vector operations inline into them. Every header with
// functions of its own that are not ours to mark internal (the standard
// library's, and the inline quantizers of threshold_kernels.hpp) is
// included before the pragma, so that no function compiled for AVX2 can be
// picked, at link time, for a caller on a processor without it.
#include "core/simd/arch.hpp"

#if DITHERING_ARCH_X86
#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/threshold/threshold_kernels.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")
#include "core/simd/vec8_avx2.hpp"
#include "core/threshold/compare_rows.hpp"
#pragma GCC pop_options

namespace dithering {

void compare_row_avx2(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                      const CompareRow& row, bool stream) noexcept {
    compare_row(src, dst, count, row, stream);
}

}  // namespace dithering

#endif  // DITHERING_ARCH_X86
