// The plain rows are the reference every vector row is measured against, so
// they are pinned here to answers worked out by hand from the integer
// formulas, at mid-range values where a rounding term decides the last bit.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "imaging/Pixel.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class PlainFormulas : public ::testing::Test {
 protected:
  void SetUp() override { ForceCpuLevel(0); }
  void TearDown() override { SelectCpuLevel(); }
};

struct YuvAnswer {
  std::uint8_t y, cb, cr;
  std::uint8_t packed[3], planar[3];  // B, G, R
};
constexpr YuvAnswer kYuv[] = {
    {100, 90, 160, {21, 86, 148}, {21, 87, 149}},     {180, 140, 110, {215, 200, 162}, {215, 201, 162}},
    {60, 200, 50, {196, 86, 0}, {196, 86, 0}},        {128, 128, 128, {130, 130, 130}, {130, 130, 130}},
    {77, 101, 151, {16, 62, 107}, {17, 63, 108}},     {201, 61, 181, {80, 198, 255}, {80, 199, 255}},
    {45, 150, 99, {78, 48, 0}, {78, 49, 0}},          {150, 117, 133, {133, 156, 163}, {134, 156, 164}}};
constexpr int kCount = static_cast<int>(std::size(kYuv));

TEST_F(PlainFormulas, YuvToRgbPackedRoundsDownAndPlanarToNearest) {
  Bytes yuy2, y(2 * 2 * kCount), cb, cr;
  for (int i = 0; i < kCount; ++i) {
    const YuvAnswer& a = kYuv[i];
    yuy2.insert(yuy2.end(), {a.y, a.cb, a.y, a.cr});
    for (int p : {2 * i, 2 * i + 1, 2 * kCount + 2 * i, 2 * kCount + 2 * i + 1}) y[p] = a.y;
    cb.push_back(a.cb);
    cr.push_back(a.cr);
  }
  Bytes packed(2 * kCount * 3), planar(2 * 2 * kCount * 3);
  ASSERT_EQ(PxYuy2ToBgr(yuy2.data(), 4 * kCount, packed.data(), 6 * kCount, {2 * kCount, 1}), kPxOk);
  const std::uint8_t* planes[3] = {y.data(), cb.data(), cr.data()};
  const std::int32_t strides[3] = {2 * kCount, kCount, kCount};
  ASSERT_EQ(PxI420ToBgr(planes, strides, planar.data(), 6 * kCount, {2 * kCount, 2}), kPxOk);
  for (int i = 0; i < kCount; ++i) {
    const YuvAnswer& a = kYuv[i];
    for (int pixel : {2 * i, 2 * i + 1}) {
      EXPECT_EQ(Bytes(&packed[3 * pixel], &packed[3 * pixel + 3]), Bytes(a.packed, a.packed + 3)) << "pixel " << pixel;
      for (int row : {0, 1}) {
        const int at = 3 * (row * 2 * kCount + pixel);
        EXPECT_EQ(Bytes(&planar[at], &planar[at + 3]), Bytes(a.planar, a.planar + 3)) << "pixel " << pixel;
      }
    }
  }
}

TEST_F(PlainFormulas, RgbToYuvRoundsLumaToNearestAndChromaByAnEighth) {
  const Bytes pair = {42, 56, 215, 0, 51, 138, 140, 0};
  Bytes yuy2(4);
  ASSERT_EQ(PxBgraToYuy2(pair.data(), 8, yuy2.data(), 4, {2, 1}), kPxOk);
  EXPECT_EQ(yuy2, (Bytes{104, 94, 127, 167}));

  const Bytes block = {118, 178, 196, 0, 103, 52, 63, 0, 206, 185, 198, 0, 103, 113, 134, 0};
  Bytes y(4), cb(1), cr(1);
  std::uint8_t* planes[3] = {y.data(), cb.data(), cr.data()};
  const std::int32_t strides[3] = {2, 1, 1};
  ASSERT_EQ(PxBgraToI420(block.data(), 8, planes, strides, {2, 2}), kPxOk);
  EXPECT_EQ(y, (Bytes{168, 68, 180, 117}));
  EXPECT_EQ(cb[0], 126);
  EXPECT_EQ(cr[0], 135);
}

}  // namespace
