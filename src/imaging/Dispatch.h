// Every primitive keeps one table of five variants, indexed by CpuLevel().
// A primitive with fewer distinct variants repeats an entry, e.g.
//
//   constexpr VariantTable<CopyRowFn> kCopyRow = {plain::CopyRow, plain::CopyRow,
//                                                  plain::CopyRow, avx2::CopyRow, avx512::CopyRow};
//   Variant(kCopyRow)(src, dst, n);
//
// The row functions of each instruction set live in files named after it
// (rows_avx2.cpp, ...), compiled with that set's flags; nothing else in the
// library may use wider instructions than the baseline.
#pragma once

#include "imaging/Pixel.h"

namespace telvor::imaging {

template <typename Fn>
using VariantTable = Fn* const[kPxLevelCount];

template <typename Fn>
inline Fn* Variant(Fn* const (&table)[kPxLevelCount]) {
  return table[CpuLevel()];
}

}  // namespace telvor::imaging
