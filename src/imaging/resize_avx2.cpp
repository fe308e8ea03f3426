// AVX2 steps of the resamplers: the SSE4.1 step with two groups of four
// samples per register, one per 128-bit lane, each from its own window.
#include "imaging/Avx2Traits.h"
#include "imaging/ResizeVector.h"

namespace telvor::imaging {

void HorizontalAvx2(const std::uint8_t* row, const TapTable& table, std::int16_t* out, std::int32_t round,
                    std::int32_t shift) {
  HorizontalGroups<Avx2>(row, table, out, round, shift);
}

void VerticalAvx2(const std::int16_t* upper, const std::int16_t* lower, std::int32_t wy, std::uint8_t* out,
                  std::int32_t count) {
  VerticalRows<Avx2>(upper, lower, wy, out, count);
}

}  // namespace telvor::imaging
