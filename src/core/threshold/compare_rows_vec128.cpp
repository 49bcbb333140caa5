// The compare rows over pairs of 128-bit vectors (vec128.hpp): SSE2 on
// x86, NEON on aarch64, the portable form anywhere else.
#include "core/simd/vec8_halves.hpp"
#include "core/threshold/compare_rows.hpp"

namespace dithering {

void compare_row_vec128(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                     const CompareRow& row) noexcept {
    compare_row(src, dst, count, row, false);
}

}  // namespace dithering
