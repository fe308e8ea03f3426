#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>

#include "imaging/Pixel.h"

namespace {

TEST(PixelAlloc, BlocksAreAlignedWholeAndRefusedWhenEmptyOrOverflowing) {
  for (std::int64_t n : {1, 7, 33, 4096, 1 << 20}) {
    void* p = PxAlloc(n);
    ASSERT_NE(p, nullptr) << n;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 32, 0u) << n;
    std::memset(p, 0x5a, static_cast<std::size_t>(n));  // the sanitizer checks the block really holds n bytes
    PxFree(p);
  }
  EXPECT_TRUE(PxAlloc(0) == nullptr && PxAlloc(-5) == nullptr);
  std::int32_t stride = -1;
  EXPECT_EQ(PxImageAllocC1(0, 10, &stride), nullptr);
  EXPECT_EQ(stride, 0);
  EXPECT_EQ(PxImageAllocC2(10, 0, &stride), nullptr);
  stride = -1;
  EXPECT_EQ(PxImageAllocC2(std::numeric_limits<std::int32_t>::max(), 1, &stride), nullptr);
  EXPECT_EQ(stride, 0);
  EXPECT_EQ(PxImageAllocC1(10, 10, nullptr), nullptr);
}

}  // namespace
