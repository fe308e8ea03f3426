// The numbers a user sees: known colours through each conversion and odd sizes,
// at every level the processor offers, since small pictures exercise the vector
// rows' tails.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "imaging/Pixel.h"

namespace {

class EveryLevel : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (GetParam() > DetectCpuLevel()) GTEST_SKIP() << "processor lacks level " << GetParam();
    ForceCpuLevel(GetParam());
  }
  void TearDown() override { SelectCpuLevel(); }
};

INSTANTIATE_TEST_SUITE_P(Levels, EveryLevel, ::testing::Range(0, kPxLevelCount));

TEST_P(EveryLevel, BgraBecomesStudioRangeYuy2AndAnOddWidthEndsWithItsOwnBlueDifference) {
  for (auto [value, luma] : {std::pair<std::uint8_t, std::uint8_t>{255, 235}, {0, 16}}) {
    std::vector<std::uint8_t> src(256, value);
    for (int i = 3; i < 256; i += 4) src[i] = 0x77;  // alpha, which must not count
    std::vector<std::uint8_t> dst(128, 0xee);
    ASSERT_EQ(PxBgraToYuy2(src.data(), 256, dst.data(), 128, {64, 1}), kPxOk);
    for (int i = 0; i < 128; i += 2) ASSERT_TRUE(dst[i] == luma && dst[i + 1] == 128) << i;
  }
  // Third pixel: Y and a Cb computed from it alone; no Cr byte follows.
  const std::uint8_t src[12] = {10, 20, 30, 0, 40, 50, 60, 0, 255, 0, 0, 0};
  std::uint8_t dst[8] = {0, 0, 0, 0, 0xee, 0xee, 0xee, 0xee};
  ASSERT_EQ(PxBgraToYuy2(src, 12, dst, 8, {3, 1}), kPxOk);
  EXPECT_EQ(std::vector<std::uint8_t>(dst + 4, dst + 8), (std::vector<std::uint8_t>{41, 240, 0xee, 0xee}));
}

// Pixels 0, 2, 4, ... black and 1, 3, 5, ... white, in both RGB layouts.
void ExpectAlternatingBlackAndWhite(const std::vector<std::uint8_t>& bgr, const std::vector<std::uint8_t>& bgra,
                                    int pixels, std::uint8_t alpha) {
  for (int x = 0; x < pixels; ++x) {
    const std::uint8_t want = x % 2 ? 255 : 0;
    for (int c = 0; c < 3; ++c) ASSERT_TRUE(bgr[3 * x + c] == want && bgra[4 * x + c] == want) << x;
    ASSERT_EQ(bgra[4 * x + 3], alpha) << x;
  }
}

// Extreme YUY2 clamps, and planar studio black and white are exact.
TEST_P(EveryLevel, YuvBlackAndWhiteBecomeExactRgb) {
  std::vector<std::uint8_t> yuy2;
  for (int i = 0; i < 40; ++i) yuy2.insert(yuy2.end(), {0, 128, 255, 128});
  std::vector<std::uint8_t> bgr(80 * 3), bgra(80 * 4);
  ASSERT_EQ(PxYuy2ToBgr(yuy2.data(), 160, bgr.data(), 240, {80, 1}), kPxOk);
  ASSERT_EQ(PxYuy2ToBgra(yuy2.data(), 160, bgra.data(), 320, {80, 1}, 0x42), kPxOk);
  ExpectAlternatingBlackAndWhite(bgr, bgra, 80, 0x42);

  std::vector<std::uint8_t> y(96 * 2), cb(48, 128), cr(48, 128);
  for (int x = 0; x < 96; ++x) y[x] = y[96 + x] = x % 2 ? 235 : 16;
  const std::uint8_t* planes[3] = {y.data(), cb.data(), cr.data()};
  const std::int32_t strides[3] = {96, 48, 48};
  bgr.resize(96 * 3 * 2);
  bgra.resize(96 * 4 * 2);
  ASSERT_EQ(PxI420ToBgr(planes, strides, bgr.data(), 96 * 3, {96, 2}), kPxOk);
  ASSERT_EQ(PxI420ToBgra(planes, strides, bgra.data(), 96 * 4, {96, 2}, 9), kPxOk);
  ExpectAlternatingBlackAndWhite(bgr, bgra, 96 * 2, 9);
}

TEST_P(EveryLevel, OddPlanarPictureConvertsOnlyTheEvenPart) {
  const std::uint8_t y[9] = {235, 235, 1, 235, 235, 1, 1, 1, 1};
  const std::uint8_t cb[4] = {128, 0, 0, 0}, cr[4] = {128, 0, 0, 0};
  const std::uint8_t* planes[3] = {y, cb, cr};
  const std::int32_t strides[3] = {3, 2, 2};
  std::vector<std::uint8_t> bgr(27, 0xee);
  ASSERT_EQ(PxI420ToBgr(planes, strides, bgr.data(), 9, {3, 3}), kPxOddSizeNotConverted);
  for (int i = 0; i < 27; ++i) EXPECT_EQ(bgr[i], i < 18 && i % 9 < 6 ? 255 : 0xee) << "row " << i / 9 << " byte " << i % 9;
}

TEST_P(EveryLevel, Yuy2ToYv12KeepsTheUpperRowsChroma) {
  const std::uint8_t src[16] = {1, 10, 2, 20, 3, 11, 4, 21,    // row 0: Cb 10/11, Cr 20/21
                                5, 90, 6, 91, 7, 92, 8, 93};   // row 1: chroma to be discarded
  std::uint8_t y[8], cr[2], cb[2];
  std::uint8_t* planes[3] = {y, cr, cb};
  const std::int32_t strides[3] = {4, 2, 2};
  // Null plane and stride lists (the pixel fuzzer draws null planes only).
  EXPECT_EQ(PxYuy2ToYv12(src, 8, planes, nullptr, {4, 2}), kPxNullPointer);
  ASSERT_EQ(PxYuy2ToYv12(src, 8, planes, strides, {4, 2}), kPxOk);
  EXPECT_EQ(std::vector<std::uint8_t>(y, y + 8), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_TRUE(cb[0] == 10 && cb[1] == 11 && cr[0] == 20 && cr[1] == 21);

  // Back to YUY2: both output rows share the chroma row; Cb from the third plane.
  const std::uint8_t* in[3] = {y, cr, cb};
  std::uint8_t back[16];
  EXPECT_EQ(PxYv12ToYuy2(nullptr, strides, back, 8, {4, 2}), kPxNullPointer);
  ASSERT_EQ(PxYv12ToYuy2(in, strides, back, 8, {4, 2}), kPxOk);
  const std::uint8_t want[16] = {1, 10, 2, 20, 3, 11, 4, 21, 5, 10, 6, 20, 7, 11, 8, 21};
  EXPECT_EQ(std::vector<std::uint8_t>(back, back + 16), std::vector<std::uint8_t>(want, want + 16));
}

// Sizes the converter never asks for (it refuses sides past its limit first),
// refused here too rather than wrapped.
TEST(PixelAlloc, EmptyAndOverflowingImagesAreRefused) {
  EXPECT_TRUE(PxAlloc(0) == nullptr && PxAlloc(-5) == nullptr && PxImageAllocC1(10, 10, nullptr) == nullptr);
  for (auto [width, height] : {std::pair<std::int32_t, std::int32_t>{0, 10}, {10, 0}, {0x7fffffff, 1}}) {
    std::int32_t strides[2] = {-1, -1};
    EXPECT_EQ(PxImageAllocC1(width, height, &strides[0]), nullptr);
    EXPECT_EQ(PxImageAllocC2(width, height, &strides[1]), nullptr);
    EXPECT_TRUE(strides[0] == 0 && strides[1] == 0) << width << "x" << height;
  }
}

}  // namespace
