// Every vector variant against the plain one. The pixel fuzzer's cases,
// replayed over fixed seeds, draw each primitive at odd and even sizes,
// unaligned, unpadded (one-block copies on both sides of the string-move
// threshold) and bottom-up rows and every level, in buffers that end at an
// inaccessible page: copies, repacking and the conversions to YUV must match
// the plain level byte for byte, the conversions to RGB (lower-precision
// products) within one, and nothing outside the pictures may change.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "imaging/Pixel.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t bytes);
extern "C" int ResizeFuzzOne(const std::uint8_t* data, std::size_t bytes);
extern "C" int ScalerFuzzOne(const std::uint8_t* data, std::size_t bytes);

namespace {

int MaxDifference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  int worst = 0;
  for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
  return worst;
}

// The resampler and converter harnesses are replayed too, so that their rules
// (nothing outside the region, nothing at all when refused, sources
// untouched) hold for this build's vector code against guard pages.
TEST(PixelVariants, FuzzCasesOverFixedSeeds) {
  const struct {
    const char* name;
    int (*run)(const std::uint8_t* data, std::size_t bytes);
    std::uint32_t seeds;
  } harnesses[] = {{"pixel", &LLVMFuzzerTestOneInput, 6000}, {"resize", &ResizeFuzzOne, 1500},
                   {"scaler", &ScalerFuzzOne, 1500}};
  for (const auto& harness : harnesses) {
    for (std::uint32_t seed = 0; seed < harness.seeds; ++seed) {
      try {
        harness.run(reinterpret_cast<const std::uint8_t*>(&seed), sizeof seed);
      } catch (const std::runtime_error& failure) {
        SelectCpuLevel();
        FAIL() << harness.name << " seed " << seed << ": " << failure.what();
      }
    }
  }
  SelectCpuLevel();
}

// Every (Y, Cb, Cr) triple: the tolerance of one must hold everywhere, not
// just on random samples.
TEST(PixelVariants, EveryYuvTripleConvertsWithinOne) {
  constexpr int kWidth = 256;  // 128 pairs: Y0 = 2i, Y1 = 2i + 1
  std::vector<std::uint8_t> yuy2(kWidth * 2 * 256), want(kWidth * 4 * 256), got(want.size());
  std::vector<std::uint8_t> y(kWidth * 2 * 256), cb(kWidth / 2 * 256), cr(kWidth / 2 * 256);
  for (int cbValue = 0; cbValue < 256; ++cbValue) {
    for (int row = 0; row < 256; ++row) {  // row: Cr
      for (int i = 0; i < kWidth / 2; ++i) {
        std::uint8_t* p = &yuy2[(row * kWidth / 2 + i) * 4];
        p[0] = static_cast<std::uint8_t>(2 * i);
        p[1] = static_cast<std::uint8_t>(cbValue);
        p[2] = static_cast<std::uint8_t>(2 * i + 1);
        p[3] = static_cast<std::uint8_t>(row);
      }
    }
    ForceCpuLevel(0);
    PxYuy2ToBgra(yuy2.data(), kWidth * 2, want.data(), kWidth * 4, {kWidth, 256}, 0);
    for (int level = 2; level <= DetectCpuLevel(); ++level) {
      ForceCpuLevel(level);
      PxYuy2ToBgra(yuy2.data(), kWidth * 2, got.data(), kWidth * 4, {kWidth, 256}, 0);
      ASSERT_LE(MaxDifference(got, want), 1) << "Cb " << cbValue << " level " << level;
    }
  }
  // Planar: each 2 x 2 block takes four Y values; 64 pictures cover all 256.
  for (int pass = 0; pass < 64; ++pass) {
    constexpr int kSide = 512;
    std::vector<std::uint8_t> luma(kSide * kSide), blue(kSide / 2 * kSide / 2), red(blue.size());
    std::vector<std::uint8_t> a(kSide * kSide * 4), b(a.size());
    for (int r = 0; r < kSide; ++r) {
      for (int c = 0; c < kSide; ++c) luma[r * kSide + c] = static_cast<std::uint8_t>(4 * pass + (r % 2) * 2 + c % 2);
    }
    for (int r = 0; r < kSide / 2; ++r) {
      for (int c = 0; c < kSide / 2; ++c) {
        blue[r * kSide / 2 + c] = static_cast<std::uint8_t>(c);
        red[r * kSide / 2 + c] = static_cast<std::uint8_t>(r);
      }
    }
    const std::uint8_t* planes[3] = {luma.data(), blue.data(), red.data()};
    const std::int32_t strides[3] = {kSide, kSide / 2, kSide / 2};
    ForceCpuLevel(0);
    PxI420ToBgra(planes, strides, a.data(), kSide * 4, {kSide, kSide}, 0);
    for (int level = 2; level <= DetectCpuLevel(); ++level) {
      ForceCpuLevel(level);
      PxI420ToBgra(planes, strides, b.data(), kSide * 4, {kSide, kSide}, 0);
      ASSERT_LE(MaxDifference(a, b), 1) << "pass " << pass << " level " << level;
    }
  }
  SelectCpuLevel();
}

}  // namespace
