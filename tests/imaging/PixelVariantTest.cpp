// Every vector variant against the plain one. The pixel fuzzer's cases,
// replayed over fixed seeds, draw each primitive at odd and even sizes,
// unaligned, unpadded and bottom-up, at every level, in buffers that end at an
// inaccessible page (see fuzz/PixelFuzz.cpp for what each call must keep).
#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <vector>

#include "FuzzPlane.h"
#include "compat/compat.h"
#include "imaging/Pixel.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t bytes);
extern "C" int ResizeFuzzOne(const std::uint8_t* data, std::size_t bytes);
extern "C" int ScalerFuzzOne(const std::uint8_t* data, std::size_t bytes);

namespace {

using telvor::fuzz::MaxDifference;

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
  for (std::size_t at = 0; at < yuy2.size(); at += 4) {  // the row number is Cr
    yuy2[at] = static_cast<std::uint8_t>(at / 4 % (kWidth / 2) * 2);
    yuy2[at + 2] = static_cast<std::uint8_t>(yuy2[at] + 1);
    yuy2[at + 3] = static_cast<std::uint8_t>(at / (kWidth * 2));
  }
  for (int cbValue = 0; cbValue < 256; ++cbValue) {
    for (std::size_t at = 1; at < yuy2.size(); at += 4) yuy2[at] = static_cast<std::uint8_t>(cbValue);
    ForceCpuLevel(0);
    PxYuy2ToBgra(yuy2.data(), kWidth * 2, want.data(), kWidth * 4, {kWidth, 256}, 0);
    for (int level = 1; level <= DetectCpuLevel(); ++level) {
      ForceCpuLevel(level);
      PxYuy2ToBgra(yuy2.data(), kWidth * 2, got.data(), kWidth * 4, {kWidth, 256}, 0);
      ASSERT_LE(MaxDifference(got, want), 1) << "Cb " << cbValue << " level " << level;
    }
  }
  // Planar: each 2 x 2 block takes four Y values; 64 pictures cover all 256.
  constexpr int kSide = 512, kHalf = kSide / 2;
  std::vector<std::uint8_t> luma(kSide * kSide), blue(kHalf * kHalf), red(blue.size());
  std::vector<std::uint8_t> a(kSide * kSide * 4), b(a.size());
  for (int i = 0; i < kHalf * kHalf; ++i) {
    blue[i] = static_cast<std::uint8_t>(i % kHalf);
    red[i] = static_cast<std::uint8_t>(i / kHalf);
  }
  const std::uint8_t* planes[3] = {luma.data(), blue.data(), red.data()};
  const std::int32_t strides[3] = {kSide, kHalf, kHalf};
  for (int pass = 0; pass < 64; ++pass) {
    for (int i = 0; i < kSide * kSide; ++i) luma[i] = static_cast<std::uint8_t>(4 * pass + (i / kSide % 2) * 2 + i % 2);
    ForceCpuLevel(0);
    PxI420ToBgra(planes, strides, a.data(), kSide * 4, {kSide, kSide}, 0);
    for (int level = 1; level <= DetectCpuLevel(); ++level) {
      ForceCpuLevel(level);
      PxI420ToBgra(planes, strides, b.data(), kSide * 4, {kSide, kSide}, 0);
      ASSERT_LE(MaxDifference(a, b), 1) << "pass " << pass << " level " << level;
    }
  }
  SelectCpuLevel();
}

// Every colour through each level's rows from RGB: luma within one of the
// plain rows, chroma exact. Each picture holds every blue and green once,
// shuffled so that each pixel pair and 2 x 2 block mixes unrelated colours;
// red is one per picture.
TEST(PixelVariants, EveryColourGivesLumaWithinOneAndExactChroma) {
  constexpr int kSide = 256, kPixels = kSide * kSide;
  std::vector<std::uint8_t> bgra(kPixels * 4);
  const std::int32_t strides[3] = {kSide, kSide / 2, kSide / 2};
  // Each conversion's bytes, and how many of them (from the start) are luma
  // where a flag says which byte is (YUY2 interleaves).
  const auto i420 = [&](std::vector<std::uint8_t>& out) {
    out.resize(kPixels * 3 / 2);
    std::uint8_t* planes[3] = {out.data(), out.data() + kPixels, out.data() + kPixels * 5 / 4};
    return PxBgraToI420(bgra.data(), kSide * 4, planes, strides, {kSide, kSide});
  };
  const auto yuy2 = [&](std::vector<std::uint8_t>& out) {
    out.resize(kPixels * 2);
    return PxBgraToYuy2(bgra.data(), kSide * 4, out.data(), kSide * 2, {kSide, kSide});
  };
  const auto isLumaInI420 = [&](std::size_t at) { return at < static_cast<std::size_t>(kPixels); };
  const auto isLumaInYuy2 = [](std::size_t at) { return at % 2 == 0; };
  const struct {
    const char* name;
    std::function<PxStatus(std::vector<std::uint8_t>&)> convert;
    std::function<bool(std::size_t)> isLuma;
  } conversions[] = {{"I420", i420, isLumaInI420}, {"YUY2", yuy2, isLumaInYuy2}};
  std::vector<std::uint8_t> want, got;
  for (int red = 0; red < 256; ++red) {
    for (int i = 0; i < kPixels; ++i) {
      const unsigned colour = static_cast<unsigned>(i) * 40503u & 0xffffu;  // odd factor: each colour once
      bgra[4 * i] = static_cast<std::uint8_t>(colour);
      bgra[4 * i + 1] = static_cast<std::uint8_t>(colour >> 8);
      bgra[4 * i + 2] = static_cast<std::uint8_t>(red);
      bgra[4 * i + 3] = static_cast<std::uint8_t>(i);
    }
    for (const auto& conversion : conversions) {
      ForceCpuLevel(0);
      ASSERT_EQ(conversion.convert(want), kPxOk);
      for (int level = 1; level <= DetectCpuLevel(); ++level) {
        ForceCpuLevel(level);
        ASSERT_EQ(conversion.convert(got), kPxOk);
        for (std::size_t at = 0; at < want.size(); ++at) {
          const int difference = std::abs(int{got[at]} - int{want[at]});
          ASSERT_LE(difference, conversion.isLuma(at) ? 1 : 0)
              << conversion.name << " byte " << at << ", red " << red << " level " << level;
        }
      }
    }
  }
  SelectCpuLevel();
}

// The walks over a picture's rows: one without row padding goes a band of
// rows per call, and a bottom-up output (negative stride) must hold the same
// rows turned over, each 4:2:0 chroma row with its two. Each against the rows
// converted one by one top-down (within the tolerance of one where a walk
// moves the vector steps' ends). 515 rows of 2048 pixels make two bands, the
// second a short one, and an odd row that 4:2:0 leaves alone.
TEST(PixelVariants, BandedAndBottomUpWalksGiveTheRowsBytes) {
  constexpr std::int32_t kWidth = 2048, kHeight = 515, kPad = 64;
  constexpr PxSize kSize{kWidth, kHeight};
  // Planar sources: the luma rows, then the two chroma planes at half the stride.
  const auto planesOf = [](const std::uint8_t* s, std::int32_t stride) {
    const std::uint8_t* cb = s + std::ptrdiff_t{stride} * kHeight;
    return std::vector<const std::uint8_t*>{s, cb, cb + std::ptrdiff_t{stride / 2} * (kHeight / 2)};
  };
  using Convert = std::function<PxStatus(const std::uint8_t*, std::int32_t, std::uint8_t*, std::int32_t)>;
  const struct {
    const char* name;
    int srcBytes, dstBytes, tolerance;
    Convert convert;
    bool planar = false;  // never banded: each chroma row serves two
  } conversions[] = {
      {"BGRA to BGR", 4, 3, 0, [](auto s, auto ss, auto d, auto ds) { return PxBgraToBgr(s, ss, d, ds, kSize); }},
      {"BGRA to YUY2", 4, 2, 1, [](auto s, auto ss, auto d, auto ds) { return PxBgraToYuy2(s, ss, d, ds, kSize); }},
      {"YUY2 to BGR", 2, 3, 1, [](auto s, auto ss, auto d, auto ds) { return PxYuy2ToBgr(s, ss, d, ds, kSize); }},
      {"YUY2 to BGRA", 2, 4, 1, [](auto s, auto ss, auto d, auto ds) { return PxYuy2ToBgra(s, ss, d, ds, kSize, 9); }},
      // The second plane is the picture's second half of rows.
      {"interleave", 1, 2, 0,
       [](auto s, auto ss, auto d, auto ds) {
         return PxInterleavePlanes(s, ss, s + std::ptrdiff_t{ss} * kHeight, ss, d, ds, kSize);
       }},
      {"I420 to BGRA", 1, 4, 1,
       [&](auto s, auto ss, auto d, auto ds) {
         const std::int32_t strides[3] = {ss, ss / 2, ss / 2};
         return PxI420ToBgra(planesOf(s, ss).data(), strides, d, ds, kSize, 7);
       },
       true},
      {"I420 to BGR", 1, 3, 1,
       [&](auto s, auto ss, auto d, auto ds) {
         const std::int32_t strides[3] = {ss, ss / 2, ss / 2};
         return PxI420ToBgr(planesOf(s, ss).data(), strides, d, ds, kSize);
       },
       true},
      {"YV12 to YUY2", 1, 2, 0,
       [&](auto s, auto ss, auto d, auto ds) {
         const std::int32_t strides[3] = {ss, ss / 2, ss / 2};
         return PxYv12ToYuy2(planesOf(s, ss).data(), strides, d, ds, kSize);
       },
       true},
  };
  std::vector<std::uint8_t> source(std::size_t{kWidth + kPad} * 4 * 2 * kHeight);
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::uint8_t>(i * 2654435761u >> 13);
  for (const auto& conversion : conversions) {
    const std::int32_t srcRow = kWidth * conversion.srcBytes, dstRow = kWidth * conversion.dstBytes;
    const std::int32_t pitch = dstRow + kPad;
    std::vector<std::uint8_t> packed(std::size_t{1} * srcRow * 2 * kHeight);
    for (std::int32_t y = 0; y < 2 * kHeight; ++y) {
      const std::uint8_t* row = source.data() + std::ptrdiff_t{srcRow + kPad} * y;
      std::copy_n(row, srcRow, packed.data() + std::ptrdiff_t{srcRow} * y);
    }
    std::vector<std::uint8_t> want(std::size_t{1} * pitch * kHeight), got(want.size()), spread(want.size());
    std::vector<std::uint8_t> bottomUp(want.size() + 128);
    for (int level = 0; level <= DetectCpuLevel(); ++level) {
      ForceCpuLevel(level);
      // 4:2:0 sources report the odd row left alone.
      const PxStatus status = conversion.convert(source.data(), srcRow + kPad, want.data(), pitch);
      ASSERT_GE(status, kPxOk);
      if (!conversion.planar) {  // unpadded, in bands; its rows laid out as the padded picture's
        ASSERT_EQ(status, conversion.convert(packed.data(), srcRow, got.data(), dstRow));
        for (std::int32_t y = 0; y < kHeight; ++y) {
          const std::uint8_t* row = got.data() + std::ptrdiff_t{dstRow} * y;
          std::copy_n(row, dstRow, spread.data() + std::ptrdiff_t{pitch} * y);
        }
        EXPECT_LE(MaxDifference(spread, want), conversion.tolerance) << conversion.name << " in bands, level " << level;
      }
      // Bottom-up, its rows turned back over: on rows aligned to every
      // register width (a BGRA picture this large is then streamed) and on
      // rows that are not.
      for (const std::size_t misalignment : {0, 4}) {
        std::fill(bottomUp.begin(), bottomUp.end(), 0);
        std::uint8_t* const start = bottomUp.data() + (64 - reinterpret_cast<std::uintptr_t>(bottomUp.data()) % 64);
        std::uint8_t* const lastRow = start + misalignment + std::ptrdiff_t{pitch} * (kHeight - 1);
        ASSERT_EQ(status, conversion.convert(source.data(), srcRow + kPad, lastRow, -pitch));
        for (std::int32_t y = 0; y < kHeight; ++y) {
          std::copy_n(lastRow - std::ptrdiff_t{pitch} * y, pitch, spread.data() + std::ptrdiff_t{pitch} * y);
        }
        EXPECT_LE(MaxDifference(spread, want), conversion.tolerance)
            << conversion.name << " bottom-up, " << misalignment << " bytes past alignment, level " << level;
      }
    }
  }
  SelectCpuLevel();
}

// Before legacy SSE code the converter puts the wide registers in their
// initial state by a restore that loads the SSE control word as well; that
// word is the host's, its rounding and exception masks included.
TEST(PixelVariants, EmptyingTheWideRegistersKeepsTheHostsFloatingPointControls) {
  ForceCpuLevel(1);
  const int rounding = std::fegetround();
  ASSERT_EQ(0, std::fesetround(FE_TOWARDZERO));
  const std::uint32_t before = TelvorMxcsr();
  ClearUpperVectorState();
  const std::uint32_t after = TelvorMxcsr();
  std::fesetround(rounding);
  SelectCpuLevel();
  EXPECT_EQ(before & 0x6000u, 0x6000u) << "rounding toward zero";
  EXPECT_EQ(before, after);
}

}  // namespace
