#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>

#include "imaging/Pixel.h"

namespace {

TEST(PixelAlloc, BlocksAreAlignedAndWholeBytesUsable) {
  for (std::int64_t n : {1, 2, 7, 31, 32, 33, 100, 4096, 1 << 20}) {
    void* p = PxAlloc(n);
    ASSERT_NE(p, nullptr) << n;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 32, 0u) << n;
    std::memset(p, 0x5a, static_cast<std::size_t>(n));  // the sanitizer checks the block really holds n bytes
    PxFree(p);
  }
}

TEST(PixelAlloc, ImageStridesRoundUpToWholeVectors) {
  struct Case {
    std::int32_t width, stride1, stride2;
  } cases[] = {{1, 32, 32}, {16, 32, 32}, {17, 32, 64}, {32, 32, 64}, {33, 64, 96}, {1920, 1920, 3840}, {1366, 1376, 2752}};
  for (const Case& c : cases) {
    std::int32_t stride = -1;
    std::uint8_t* p = PxImageAllocC1(c.width, 3, &stride);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(stride, c.stride1) << c.width;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 32, 0u);
    std::memset(p, 1, static_cast<std::size_t>(stride) * 3);
    PxImageFree(p);
    p = PxImageAllocC2(c.width, 3, &stride);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(stride, c.stride2) << c.width;
    std::memset(p, 1, static_cast<std::size_t>(stride) * 3);
    PxImageFree(p);
  }
}

TEST(PixelAlloc, EmptyOrOverflowingSizesGiveNullAndStrideZero) {
  EXPECT_EQ(PxAlloc(0), nullptr);
  EXPECT_EQ(PxAlloc(-5), nullptr);
  PxFree(nullptr);
  PxImageFree(nullptr);
  std::int32_t stride = -1;
  EXPECT_EQ(PxImageAllocC1(0, 10, &stride), nullptr);
  EXPECT_EQ(stride, 0);
  stride = -1;
  EXPECT_EQ(PxImageAllocC2(10, 0, &stride), nullptr);
  EXPECT_EQ(stride, 0);
  stride = -1;
  EXPECT_EQ(PxImageAllocC2(std::numeric_limits<std::int32_t>::max(), 1, &stride), nullptr);
  EXPECT_EQ(stride, 0);
  EXPECT_EQ(PxImageAllocC1(10, 10, nullptr), nullptr);
}

TEST(CpuLevel, ForcedLevelIsClampedToWhatTheProcessorRuns) {
  const int detected = DetectCpuLevel();
  ASSERT_GE(detected, 0);
  ASSERT_LT(detected, kPxLevelCount);
  EXPECT_EQ(ForceCpuLevel(0), 0);
  EXPECT_EQ(CpuLevel(), 0);
  EXPECT_EQ(ForceCpuLevel(99), detected);
  EXPECT_EQ(CpuLevel(), detected);
  EXPECT_EQ(ForceCpuLevel(-3), 0);
  SelectCpuLevel();
  EXPECT_LE(CpuLevel(), detected);
}

}  // namespace
