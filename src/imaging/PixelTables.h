// The variant tables of the primitives, one entry per CpuLevel().
#pragma once

#include "imaging/PixelRows.h"

namespace telvor::imaging {

#define TELVOR_PIXEL_TABLE(Name) \
  inline constexpr VariantTable<Name##Fn> k##Name = {plain::Name, sse2::Name, sse41::Name, avx2::Name, avx512::Name};

// Copying and unpacking bytes gain nothing from SSE4.1.
inline constexpr VariantTable<CopyRowFn> kCopyRow = {plain::CopyRow, sse2::CopyRow, sse2::CopyRow,
                                                     avx2::CopyRow, avx512::CopyRow};
// Interleaving with 512-bit registers measured slower than plain and than AVX2.
inline constexpr VariantTable<InterleaveRowFn> kInterleaveRow = {plain::InterleaveRow, sse2::InterleaveRow,
                                                                 sse2::InterleaveRow, avx2::InterleaveRow,
                                                                 avx2::InterleaveRow};
// 512-bit loads and stores straddle two cache lines each where a row starts
// off a 64-byte boundary; the AVX2 row is as fast in the caches and was 5-15 %
// faster at 1080p (bench/README.md).
inline constexpr VariantTable<BgraToBgrRowFn> kBgraToBgrRow = {plain::BgraToBgrRow, sse2::BgraToBgrRow,
                                                               sse41::BgraToBgrRow, avx2::BgraToBgrRow,
                                                               avx2::BgraToBgrRow};
TELVOR_PIXEL_TABLE(BgraToYuy2Row)
TELVOR_PIXEL_TABLE(BgraToI420Rows)
TELVOR_PIXEL_TABLE(Yuy2ToYv12Rows)
TELVOR_PIXEL_TABLE(Yuy2ToBgraRow)
TELVOR_PIXEL_TABLE(Yuy2ToBgrRow)
// Measured slower with 512-bit registers than with 256-bit ones (bench/README.md).
inline constexpr VariantTable<Yv12ToYuy2RowFn> kYv12ToYuy2Row = {plain::Yv12ToYuy2Row, sse2::Yv12ToYuy2Row,
                                                                 sse41::Yv12ToYuy2Row, avx2::Yv12ToYuy2Row,
                                                                 avx2::Yv12ToYuy2Row};
TELVOR_PIXEL_TABLE(I420ToBgraRow)
TELVOR_PIXEL_TABLE(I420ToBgrRow)

#undef TELVOR_PIXEL_TABLE

}  // namespace telvor::imaging
