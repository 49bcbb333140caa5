// The compare rows over AVX2 registers: 32 bytes per vector, streaming
// stores where the caller asks for them.
//
// The loops are compiled for AVX2 (the region simd/compiler.hpp opens, after
// every header with functions of its own; it says why), so that the
// vector operations inline into them.
#include "core/simd/arch.hpp"
#include "core/simd/compiler.hpp"

#if DITHERING_ARCH_X86
#include "core/simd/intrinsics.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/threshold/threshold_loops.hpp"
#include "core/simd/vec128.hpp"

DITHERING_TARGET_AVX2_BEGIN
#include "core/simd/vec8_avx2.hpp"
#include "core/threshold/compare_rows.hpp"
DITHERING_TARGET_AVX2_END

namespace dithering {

void compare_row_avx2(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                      const CompareRow& row, bool stream) noexcept {
    compare_row(src, dst, count, row, stream);
}

}  // namespace dithering

#endif  // DITHERING_ARCH_X86
