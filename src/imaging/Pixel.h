// Pixel and sample primitives: aligned allocation, copies, fills, colour
// conversion between BGRA, BGR, YUY2 and planar 4:2:0, and resampling.
//
// Portable C++ (no <windows.h>). Every primitive exists in five processor
// variants; CpuLevel(), chosen once from the processor's features, picks the
// one that runs. The plain variant (level 0) is the reference: its integer
// formulas are the definition of each operation.
//
// Planar 4:2:0 pictures are passed as three planes. Which chroma plane comes
// second is part of each primitive's contract: "Y, Cr, Cb" is a YV12 buffer's
// order, "Y, Cb, Cr" is I420's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imaging/Placement.h"

// Result of every primitive except the allocators. On any negative status
// nothing has been written.
enum PxStatus : std::int32_t {
  kPxOk = 0,
  kPxOddSizeNotConverted = 35,  // done; the odd last column or row was left out
  kPxNothingToDo = 29,          // region of interest outside the source picture
  kPxSizeTooSmall = -6,
  kPxNullPointer = -8,
  kPxNoMemory = -9,
  kPxBadInterpolation = -22,
  kPxBadFactor = -23,
  kPxBadChannelCount = -53,
  kPxRegionTooSmall = -201,
};

struct PxSize {
  std::int32_t width;
  std::int32_t height;
};

// ---- Processor variant --------------------------------------------------
// 0 plain C++, 1 SSE2, 2 SSSE3 + SSE4.1, 3 AVX2, 4 AVX-512BW.
inline constexpr int kPxLevelCount = 5;
int CpuLevel();
// The highest level this processor runs.
int DetectCpuLevel();
// Selects the variant once: the detected level, lowered by the environment
// variable TELVOR_CPU_LEVEL when it names a lower one.
void SelectCpuLevel();
// Forces a level (clamped to what the processor runs); returns the level in force.
int ForceCpuLevel(int level);
// Below AVX2, where the processor has AVX: puts the wide registers' upper
// parts in their initial state, which legacy SSE code runs fastest after.
// About 0.1 us; the frame converter does it once per frame.
void ClearUpperVectorState();

// ---- Allocation ---------------------------------------------------------
void* PxAlloc(std::int64_t bytes);  // 32-byte aligned; null when bytes < 1 or no memory
void PxFree(void* block);           // null does nothing
std::uint8_t* PxImageAllocC1(std::int32_t width, std::int32_t height, std::int32_t* stride);
std::uint8_t* PxImageAllocC2(std::int32_t width, std::int32_t height, std::int32_t* stride);
void PxImageFree(void* image);

// ---- Copies and fills ---------------------------------------------------
PxStatus PxCopyBytes(const void* src, void* dst, std::int32_t count);
PxStatus PxFill16(std::uint16_t value, void* dst, std::int32_t count);
PxStatus PxSetPlane(std::uint8_t value, std::uint8_t* dst, std::int32_t dstStride, PxSize size);
PxStatus PxCopyPlane(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride,
                     PxSize size);
PxStatus PxCopyPacked422(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride,
                         PxSize size);
PxStatus PxCopyBgra(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride,
                    PxSize size);

// ---- Conversions ----------------------------------------------------------
// Two planes of size.width x size.height samples into one plane of pairs:
// each destination row is first[0] second[0] first[1] second[1] ... (2 *
// size.width bytes), e.g. NV12's chroma from the Cb and Cr planes of I420.
PxStatus PxInterleavePlanes(const std::uint8_t* first, std::int32_t firstStride, const std::uint8_t* second,
                            std::int32_t secondStride, std::uint8_t* dst, std::int32_t dstStride, PxSize size);
PxStatus PxBgraToBgr(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride,
                     PxSize size);
PxStatus PxBgraToYuy2(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride,
                      PxSize size);
// Destination planes in the order Y, Cb, Cr.
PxStatus PxBgraToI420(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* const dst[3],
                      const std::int32_t dstStride[3], PxSize size);
// Destination planes in the order Y, Cr, Cb.
PxStatus PxYuy2ToYv12(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* const dst[3],
                      const std::int32_t dstStride[3], PxSize size);
PxStatus PxYuy2ToBgr(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride,
                     PxSize size);
PxStatus PxYuy2ToBgra(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride,
                      PxSize size, std::uint8_t alpha);
// Source planes in the order Y, Cr, Cb.
PxStatus PxYv12ToYuy2(const std::uint8_t* const src[3], const std::int32_t srcStride[3], std::uint8_t* dst,
                      std::int32_t dstStride, PxSize size);
// Source planes in the order Y, Cb, Cr.
PxStatus PxI420ToBgr(const std::uint8_t* const src[3], const std::int32_t srcStride[3], std::uint8_t* dst,
                     std::int32_t dstStride, PxSize size);
PxStatus PxI420ToBgra(const std::uint8_t* const src[3], const std::int32_t srcStride[3], std::uint8_t* dst,
                      std::int32_t dstStride, PxSize size, std::uint8_t alpha);

// ---- Resamplers -----------------------------------------------------------
inline constexpr int kPxInterNearest = 1;
inline constexpr int kPxInterLinear = 2;

PxStatus PxResizeBufferSize(ScaleRect srcRoi, ScaleRect dstRoi, std::int32_t channels, std::int32_t interpolation,
                            std::int32_t* bufferSize);
PxStatus PxResizePlane(const std::uint8_t* src, PxSize srcSize, std::int32_t srcStride, ScaleRect srcRoi,
                       std::uint8_t* dst, std::int32_t dstStride, ScaleRect dstRoi, double xFactor, double yFactor,
                       double xShift, double yShift, std::int32_t interpolation, std::uint8_t* buffer);
PxStatus PxResizeYuy2(const std::uint8_t* src, PxSize srcSize, std::int32_t srcStride, ScaleRect srcRoi,
                      std::uint8_t* dst, std::int32_t dstStride, PxSize dstSize, double xFactor, double yFactor,
                      std::int32_t interpolation);
