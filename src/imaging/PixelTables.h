// The variant tables of the primitives, one entry per CpuLevel().
#pragma once

#include "imaging/PixelRows.h"

namespace telvor::imaging {

#define TELVOR_PIXEL_TABLE(Name) \
  inline constexpr VariantTable<Name##Fn> k##Name = {plain::Name, plain::Name, plain::Name, plain::Name, plain::Name};

inline constexpr VariantTable<CopyRowFn> kCopyRow = {plain::CopyRow, plain::CopyRow, plain::CopyRow,
                                                     plain::CopyRow, plain::CopyRow};
TELVOR_PIXEL_TABLE(BgraToBgrRow)
TELVOR_PIXEL_TABLE(BgraToYuy2Row)
TELVOR_PIXEL_TABLE(BgraToI420Rows)
TELVOR_PIXEL_TABLE(Yuy2ToYv12Rows)
TELVOR_PIXEL_TABLE(Yuy2ToBgraRow)
TELVOR_PIXEL_TABLE(Yuy2ToBgrRow)
TELVOR_PIXEL_TABLE(Yv12ToYuy2Row)
TELVOR_PIXEL_TABLE(I420ToBgraRow)
TELVOR_PIXEL_TABLE(I420ToBgrRow)

#undef TELVOR_PIXEL_TABLE

}  // namespace telvor::imaging
