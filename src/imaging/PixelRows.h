// Row functions behind the pixel primitives, one set per instruction set.
// The public primitives check arguments and walk the rows; a row function only
// converts. Vector rows convert whole vector steps and hand the rest of the row
// to the plain row, so every variant accepts any width the plain one accepts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imaging/Dispatch.h"

namespace telvor::imaging {

using CopyRowFn = void(const std::uint8_t* src, std::uint8_t* dst, std::size_t bytes);
// Any width from 1: first[i], second[i] to dst[2i], dst[2i + 1].
using InterleaveRowFn = void(const std::uint8_t* first, const std::uint8_t* second, std::uint8_t* dst, int width);
using BgraToBgrRowFn = void(const std::uint8_t* src, std::uint8_t* dst, int width);
// Any width from 1; an odd last pixel gets its Y byte and a Cb byte of its own.
using BgraToYuy2RowFn = void(const std::uint8_t* src, std::uint8_t* dst, int width);
// Even widths: one chroma sample per 2 x 2 block.
using BgraToI420RowsFn = void(const std::uint8_t* src0, const std::uint8_t* src1, std::uint8_t* y0,
                              std::uint8_t* y1, std::uint8_t* cb, std::uint8_t* cr, int width);
using Yuy2ToYv12RowsFn = void(const std::uint8_t* src0, const std::uint8_t* src1, std::uint8_t* y0,
                              std::uint8_t* y1, std::uint8_t* cr, std::uint8_t* cb, int width);
// How a row of a bottom-up BGRA output is walked. The vector rows then go
// from the row's end back, so that the output's rows make one stream down
// through memory, and read the source rows converted next ahead at the same
// places (their rows run the other way). With `stream`, rows aligned to the
// registers are written around the caches: a picture this large leaves them
// anyway, and a write that misses must first read the line it fills. The
// plain rows, bound by their arithmetic, go forwards as always; the bytes are
// the same either way.
struct BottomUpRow {
  const std::uint8_t* next[3];  // the next row's source rows (YUY2: the first)
  bool stream;
  bool last;  // the picture's last row: it fences the streamed stores of all
};

// Any width from 1; an odd last pixel borrows Cr from the byte before its Y.
// bottomUp: null for a top-down output.
using Yuy2ToBgraRowFn = void(const std::uint8_t* src, std::uint8_t* dst, int width, std::uint8_t alpha,
                             const BottomUpRow* bottomUp);
using Yuy2ToBgrRowFn = void(const std::uint8_t* src, std::uint8_t* dst, int width);
// Even widths.
using Yv12ToYuy2RowFn = void(const std::uint8_t* y, const std::uint8_t* cr, const std::uint8_t* cb,
                             std::uint8_t* dst, int width);
// bottomUp: as for YUY2, with the next row's luma, Cb and Cr rows.
using I420ToBgraRowFn = void(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr,
                             std::uint8_t* dst, int width, std::uint8_t alpha, const BottomUpRow* bottomUp);
using I420ToBgrRowFn = void(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr,
                            std::uint8_t* dst, int width);

#define TELVOR_DECLARE_PIXEL_ROWS                   \
  CopyRowFn CopyRow;                                \
  InterleaveRowFn InterleaveRow;                    \
  BgraToBgrRowFn BgraToBgrRow;                      \
  BgraToYuy2RowFn BgraToYuy2Row;                    \
  BgraToI420RowsFn BgraToI420Rows;                  \
  Yuy2ToYv12RowsFn Yuy2ToYv12Rows;                  \
  Yuy2ToBgraRowFn Yuy2ToBgraRow;                    \
  Yuy2ToBgrRowFn Yuy2ToBgrRow;                      \
  Yv12ToYuy2RowFn Yv12ToYuy2Row;                    \
  I420ToBgraRowFn I420ToBgraRow;                    \
  I420ToBgrRowFn I420ToBgrRow;

namespace plain {
TELVOR_DECLARE_PIXEL_ROWS
}
namespace sse2 {
TELVOR_DECLARE_PIXEL_ROWS
}
namespace sse41 {
TELVOR_DECLARE_PIXEL_ROWS
}
namespace avx2 {
TELVOR_DECLARE_PIXEL_ROWS
}
namespace avx512 {
TELVOR_DECLARE_PIXEL_ROWS
}

#undef TELVOR_DECLARE_PIXEL_ROWS

}  // namespace telvor::imaging
