// Row bookkeeping shared by the two bilinear resamplers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imaging/ResizeKernels.h"

namespace telvor::imaging {

// Added before truncating a position or a weight, so that values a hair below
// an integer (0.9999999...) land on it.
inline constexpr double kPositionEpsilon = 0.0000001;

inline std::int32_t FractionWeight(double position, double whole) {
  return static_cast<std::int32_t>((position - whole) * kWeightOne + kPositionEpsilon);
}

// The horizontal pass of the last two source rows used. Successive destination
// rows mostly share a source row, and each source row is filtered only once.
class RowPairCache {
 public:
  RowPairCache(std::int16_t* first, std::int16_t* second) : rows_{first, second} {}

  void Get(const std::uint8_t* src, std::ptrdiff_t stride, const TapTable& table, const ResizeKernels& kernels,
           std::int32_t upper, std::int32_t lower, const std::int16_t** upperRow, const std::int16_t** lowerRow) {
    int u = Slot(upper);
    int l = Slot(lower);
    if (upper == lower) {
      if (u < 0) u = Fill(0, src, stride, table, kernels, upper);
      l = u;
    } else {
      if (u < 0) u = Fill(l == 0 ? 1 : 0, src, stride, table, kernels, upper);
      if (l < 0) l = Fill(1 - u, src, stride, table, kernels, lower);
    }
    *upperRow = rows_[u];
    *lowerRow = rows_[l];
  }

  // A caller that borrows a row buffer for something else drops what it held.
  std::int16_t* Borrow() {
    tags_[0] = -1;
    return rows_[0];
  }

 private:
  int Slot(std::int32_t row) const { return tags_[0] == row ? 0 : tags_[1] == row ? 1 : -1; }
  int Fill(int slot, const std::uint8_t* src, std::ptrdiff_t stride, const TapTable& table,
           const ResizeKernels& kernels, std::int32_t row) {
    kernels.horizontal(src + row * stride, table, rows_[slot], kernels.rowRound, 8);
    tags_[slot] = row;
    return slot;
  }

  std::int16_t* rows_[2];
  std::int32_t tags_[2] = {-1, -1};
};

}  // namespace telvor::imaging
