// SSSE3/SSE4.1 horizontal step of the resamplers: four samples per 16-byte
// window, picked with the byte shuffle. The vertical step is SSE2's.
#include "imaging/ResizeVector.h"
#include "imaging/Sse41Traits.h"

namespace telvor::imaging {

void HorizontalSse41(const std::uint8_t* row, const TapTable& table, std::int16_t* out, std::int32_t round,
                     std::int32_t shift) {
  HorizontalGroups<Sse41>(row, table, out, round, shift);
}

}  // namespace telvor::imaging
