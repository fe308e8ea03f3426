// Uncompressed video media types: the one place where the video pin's types
// are built, and where any type a client hands us is turned into the plain
// description (OutputFormat) that frame production works from.
//
// All functions work on AM_MEDIA_TYPE records whose format block lives in COM
// task memory (CoTaskMemAlloc), so a CMediaType can wrap or copy the result.
//
// Size limits. Clients send arbitrary sizes through IAMStreamConfig and the
// control interface, and every later buffer computation multiplies width,
// height and up to four bytes per pixel. To keep all of that inside 32-bit
// signed arithmetic, a picture is usable only when
//   - width and height are each at most kMaxVideoDimension, and
//   - four bytes per pixel of its widest row times its height fit in
//     kMaxVideoImageBytes (INT32_MAX, the largest buffer an allocator takes).
// So 65535 x 1 is fine (its padded row is 65538 pixels), 100000 x 100000 and
// 65535 x 65535 are not. A zero width or height is not an overflow hazard and
// keeps the plain arithmetic (a type describing no pixels, which the pin later
// refuses when it sizes buffers).
#pragma once

#include <windows.h>
#include <strmif.h>

#include <cstdint>

namespace telvor {

inline constexpr std::int64_t kMaxVideoDimension = 65535;

// The FourCC subtype of planar 4:2:0 with Cb before Cr; the system headers
// name only its twin IYUV.
inline constexpr GUID kMediaSubtypeI420 = {0x30323449, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr std::int64_t kMaxVideoImageBytes = 0x7FFFFFFF;

// Per-pixel facts of a subtype the builders and the describer understand,
// and how the camera writes it.
struct VideoSubtypeInfo {
  const GUID* subtype;
  DWORD compression;     // biCompression
  WORD bitCount;         // biBitCount
  DWORD bytesPerPixel;   // YUV: row stride of the first plane = bytesPerPixel x biWidth
  bool rgb;              // rows padded like a bitmap's, stored bottom-up when biHeight > 0
  std::int32_t outputKind;   // the converter's output kind; 0: the camera does not produce it
  bool quarterPlanes;        // after the first plane, half its rows again of chroma (two planes, or NV12's one)
  std::uint16_t black;       // the first plane's black, a repeating little-endian byte pair
  std::uint8_t chromaBlack;  // the quarter planes' black
};

// The table entry for a subtype, or null for one we do not understand.
const VideoSubtypeInfo* FindVideoSubtype(REFGUID subtype);

// Bytes of one bitmap row: rowPixels x bitCount bits, padded to 4 bytes.
constexpr std::int64_t DibRowBytes(std::int64_t rowPixels, std::int64_t bitCount) {
  return ((rowPixels * bitCount + 31) / 8) & ~std::int64_t{3};
}

}  // namespace telvor

// What the video pin keeps of its negotiated type.
struct OutputFormat {
  GUID subtype;
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t stride;        // bytes from one row of the first plane to the next (RGB: the bitmap's padded row)
  bool bottomUp;               // RGB stored last row first
  std::int64_t frameDuration;  // AvgTimePerFrame, 100 ns units
  bool interlaced;             // VIDEOINFOHEADER2 with AMINTERLACE_IsInterlaced
};

// Never fails: a type without a complete VIDEOINFOHEADER or VIDEOINFOHEADER2
// block, or whose picture is negative or beyond the size limits above, gives
// an all-zero description.
OutputFormat DescribeVideoType(const AM_MEDIA_TYPE& type);

// Bytes a picture of `format` occupies at its stride, every plane and the
// rows' padding included: what a sample must hold and what it reports. A
// client's type may claim a picture (rcSource) wider than its rows: nothing
// fits that (INT64_MAX). -1 for a subtype the camera does not produce.
std::int64_t PictureBytes(const OutputFormat& format);
// Writes the black picture of `format` (PictureBytes of it) into `buffer`.
void FillBlack(const OutputFormat& format, std::uint8_t* buffer);

// Whether a client's type says the same thing in all its fields: a whole
// picture header whose compression and bit count are those of its subtype.
// A type that disagrees with itself would size buffers for one format and be
// filled with another.
bool IsConsistentVideoType(const AM_MEDIA_TYPE& type);
// The frame durations a camera honours: 0 (the camera's own rate), or from
// kMinFrameDuration (1,000 frames a second) to kMaxFrameDuration (one frame
// in ten seconds). Shorter ones would make the streaming thread spin and
// flood downstream; longer ones are no video, and near INT64_MAX they would
// overflow every sum of stream times.
inline constexpr std::int64_t kMinFrameDuration = 10000;
inline constexpr std::int64_t kMaxFrameDuration = 100000000;
bool IsUsableFrameDuration(std::int64_t duration);
// The type's AvgTimePerFrame is one of those; false without a whole header.
bool HasUsableFrameDuration(const AM_MEDIA_TYPE& type);

// Rewrites what follows from the subtype and the picture's size (biSize,
// biPlanes, biCompression, biBitCount, biSizeImage, lSampleSize, fixed-size
// samples) and keeps the client's choices (size, orientation, frame
// duration, rectangles). Applications edit the type GetFormat gave them and
// leave fields of the old subtype behind; false for a type without a
// complete video header or with a subtype we do not produce.
bool NormaliseVideoType(AM_MEDIA_TYPE* type);

// True when the type's picture (as DescribeVideoType reads it, before any size
// limit) has a side longer than `limit`; false for a type without a complete
// video header, which has no picture to judge.
bool HasSideBeyond(const AM_MEDIA_TYPE& type, std::int64_t limit);

// Fill *type with a VIDEOINFOHEADER (BuildVideoType) or an interlaced
// VIDEOINFOHEADER2 (BuildVideoType2) type. *type must be zeroed or hold a
// task-memory format block, which is freed first. Width and height are wide
// enough for any magnitude a client can send (|INT_MIN| included).
// Logs a COM error line (unit Utils), leaves *type without a format block and
// answers:
//   E_INVALIDARG   the subtype is not in the table (MPEG-2 video excepted), or
//                  width/height is negative or beyond the size limits above;
//   E_OUTOFMEMORY  the format block cannot be allocated.
// A frame rate that is zero, negative or not finite counts as no rate
// (AvgTimePerFrame 0, dwBitRate 0).
// S_OK otherwise.
HRESULT BuildVideoType(AM_MEDIA_TYPE* type, REFGUID subtype, std::int64_t width, std::int64_t height,
                       double framesPerSecond);
HRESULT BuildVideoType2(AM_MEDIA_TYPE* type, REFGUID subtype, std::int64_t width, std::int64_t height,
                        double framesPerSecond);
