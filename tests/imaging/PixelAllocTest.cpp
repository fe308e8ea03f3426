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
  EXPECT_EQ(PxAlloc(0), nullptr);
  EXPECT_EQ(PxAlloc(-5), nullptr);
  PxFree(nullptr);
  PxImageFree(nullptr);
  const struct {
    std::int32_t width, height;
    bool two;
  } refused[] = {{0, 10, false}, {10, 0, true}, {std::numeric_limits<std::int32_t>::max(), 1, true}};
  for (const auto& r : refused) {
    std::int32_t stride = -1;
    EXPECT_EQ(r.two ? PxImageAllocC2(r.width, r.height, &stride) : PxImageAllocC1(r.width, r.height, &stride), nullptr);
    EXPECT_EQ(stride, 0) << r.width << "x" << r.height;
  }
  EXPECT_EQ(PxImageAllocC1(10, 10, nullptr), nullptr);
}

}  // namespace
