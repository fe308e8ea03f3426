// Every vector variant against the plain one on random pictures: odd and
// even sizes, unaligned rows, bottom-up strides, sentinel-filled outputs and
// buffers that end at an inaccessible page.
//
// Copies, repacking and the conversions to YUV must match byte for byte; the
// conversions to RGB (YUY2 or planar source) use lower-precision products and
// may differ by one in a channel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "imaging/Pixel.h"
#include "imaging/GuardedBuffer.h"

namespace {

constexpr std::uint8_t kSentinel = 0xa5;

// One plane inside a guarded buffer: rows padded by a few bytes so they are
// not aligned, the highest-addressed row ending exactly at the guard page.
struct Plane {
  Plane(int rowBytes, int rows, bool bottomUp, int misalign)
      : stride(rowBytes + 3 + misalign), buffer(static_cast<std::size_t>(stride) * (rows - 1) + rowBytes + misalign) {
    buffer.Fill(kSentinel);
    first = buffer.data() + misalign;
    if (bottomUp) {
      first += static_cast<std::ptrdiff_t>(stride) * (rows - 1);
      stride = -stride;
    }
  }
  void Randomize(std::mt19937& rng) {
    for (std::size_t i = 0; i < buffer.size(); ++i) buffer.data()[i] = static_cast<std::uint8_t>(rng());
  }
  std::vector<std::uint8_t> Bytes() const { return {buffer.data(), buffer.data() + buffer.size()}; }

  std::int32_t stride;
  GuardedBuffer buffer;
  std::uint8_t* first = nullptr;
};

struct Shape {
  int width, height;
  bool bottomUp;
  int misalign;
};

// A conversion under test: builds its planes for a shape, runs, and returns
// every output byte (padding included, so stray writes show).
using Run = std::function<std::vector<std::uint8_t>(const Shape&, PxStatus*)>;

void CompareLevels(const char* name, const Run& run, int tolerance) {
  const int widths[] = {1, 2, 3, 4, 5, 7, 16, 31, 33, 64, 67, 130, 259, 300};
  const int heights[] = {1, 2, 3, 4};
  for (int w : widths) {
    for (int h : heights) {
      for (int variant = 0; variant < 4; ++variant) {
        const Shape shape{w, h, (variant & 1) != 0, (variant & 2) ? 1 : 0};
        ForceCpuLevel(0);
        PxStatus want = kPxOk;
        const std::vector<std::uint8_t> reference = run(shape, &want);
        for (int level = 1; level <= DetectCpuLevel(); ++level) {
          ForceCpuLevel(level);
          PxStatus got = kPxOk;
          const std::vector<std::uint8_t> out = run(shape, &got);
          ASSERT_EQ(got, want) << name << " level " << level << " " << w << "x" << h;
          ASSERT_EQ(out.size(), reference.size());
          for (std::size_t i = 0; i < out.size(); ++i) {
            ASSERT_LE(std::abs(out[i] - reference[i]), tolerance)
                << name << " level " << level << " " << w << "x" << h << " bottomUp " << shape.bottomUp
                << " misalign " << shape.misalign << " byte " << i;
          }
        }
      }
    }
  }
  SelectCpuLevel();
}

int MaxDifference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  int worst = 0;
  for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
  return worst;
}

std::vector<std::uint8_t> Join(std::initializer_list<const Plane*> planes) {
  std::vector<std::uint8_t> all;
  for (const Plane* p : planes) {
    const auto b = p->Bytes();
    all.insert(all.end(), b.begin(), b.end());
  }
  return all;
}

// Packed source to packed destination.
template <typename F>
Run Packed(int srcBytes, int dstBytes, F convert) {
  return [=](const Shape& s, PxStatus* status) {
    std::mt19937 rng(s.width * 131 + s.height);
    Plane src(s.width * srcBytes, s.height, s.bottomUp, s.misalign), dst(s.width * dstBytes, s.height, !s.bottomUp, s.misalign);
    src.Randomize(rng);
    *status = convert(src.first, src.stride, dst.first, dst.stride, PxSize{s.width, s.height});
    return dst.Bytes();
  };
}

// Packed source to three planes (the chroma planes half size, rounded down).
template <typename F>
Run ToPlanar(int srcBytes, F convert) {
  return [=](const Shape& s, PxStatus* status) {
    std::mt19937 rng(s.width * 131 + s.height);
    const int cw = s.width / 2 > 0 ? s.width / 2 : 1, ch = s.height / 2 > 0 ? s.height / 2 : 1;
    Plane src(s.width * srcBytes, s.height, s.bottomUp, s.misalign);
    Plane y(s.width, s.height, false, s.misalign), u(cw, ch, s.bottomUp, 0), v(cw, ch, false, s.misalign);
    src.Randomize(rng);
    std::uint8_t* planes[3] = {y.first, u.first, v.first};
    const std::int32_t strides[3] = {y.stride, u.stride, v.stride};
    *status = convert(src.first, src.stride, planes, strides, PxSize{s.width, s.height});
    return Join({&y, &u, &v});
  };
}

// Three planes to a packed destination.
template <typename F>
Run FromPlanar(int dstBytes, F convert) {
  return [=](const Shape& s, PxStatus* status) {
    std::mt19937 rng(s.width * 131 + s.height);
    const int cw = (s.width + 1) / 2, ch = (s.height + 1) / 2;
    Plane y(s.width, s.height, s.bottomUp, s.misalign), u(cw, ch, false, s.misalign), v(cw, ch, s.bottomUp, 0);
    Plane dst(s.width * dstBytes, s.height, !s.bottomUp, s.misalign);
    y.Randomize(rng);
    u.Randomize(rng);
    v.Randomize(rng);
    const std::uint8_t* planes[3] = {y.first, u.first, v.first};
    const std::int32_t strides[3] = {y.stride, u.stride, v.stride};
    *status = convert(planes, strides, dst.first, dst.stride, PxSize{s.width, s.height});
    return dst.Bytes();
  };
}

TEST(PixelVariants, CopiesMatchExactly) {
  CompareLevels("PxCopyPlane", Packed(1, 1, PxCopyPlane), 0);
  CompareLevels("PxCopyPacked422", Packed(2, 2, PxCopyPacked422), 0);
  CompareLevels("PxCopyBgra", Packed(4, 4, PxCopyBgra), 0);
  CompareLevels("PxCopyBytes", Packed(1, 1, [](const std::uint8_t* s, std::int32_t, std::uint8_t* d, std::int32_t, PxSize z) {
                  return z.height == 1 ? PxCopyBytes(s, d, z.width) : kPxOk;
                }), 0);
}

// Pictures without row padding are copied as one block (a string move on
// processors that have fast ones): sizes on both sides of the block threshold,
// destinations at every offset from a cache line, ends at the guard page.
TEST(PixelVariants, UnpaddedPicturesCopyAsOneBlock) {
  const PxSize sizes[] = {{1, 1}, {3, 5}, {64, 63}, {64, 65}, {1280, 9}, {333, 31}};
  std::mt19937 rng(5);
  for (int level = 0; level <= DetectCpuLevel(); ++level) {
    ForceCpuLevel(level);
    for (const PxSize size : sizes) {
      for (int bytesPerPixel : {1, 2, 4}) {
        const int rowBytes = size.width * bytesPerPixel;
        const std::size_t total = static_cast<std::size_t>(rowBytes) * size.height;
        for (int offset : {0, 1, 33}) {
          GuardedBuffer src(total), dst(total + offset);
          for (std::size_t i = 0; i < total; ++i) src.data()[i] = static_cast<std::uint8_t>(rng());
          dst.Fill(kSentinel);
          const auto copy = bytesPerPixel == 1 ? PxCopyPlane : bytesPerPixel == 2 ? PxCopyPacked422 : PxCopyBgra;
          ASSERT_EQ(copy(src.data(), rowBytes, dst.data() + offset, rowBytes, size), kPxOk);
          ASSERT_TRUE(std::equal(src.data(), src.data() + total, dst.data() + offset))
              << "level " << level << " " << size.width << "x" << size.height << " x" << bytesPerPixel;
          ASSERT_TRUE(std::all_of(dst.data(), dst.data() + offset, [](std::uint8_t b) { return b == kSentinel; }));
        }
      }
    }
  }
  SelectCpuLevel();
}

TEST(PixelVariants, RepackingMatchesExactly) {
  CompareLevels("PxBgraToBgr", Packed(4, 3, PxBgraToBgr), 0);
  CompareLevels("PxYuy2ToYv12", ToPlanar(2, PxYuy2ToYv12), 0);
  CompareLevels("PxYv12ToYuy2", FromPlanar(2, PxYv12ToYuy2), 0);
}

TEST(PixelVariants, ConversionsToYuvMatchExactly) {
  CompareLevels("PxBgraToYuy2", Packed(4, 2, PxBgraToYuy2), 0);
  CompareLevels("PxBgraToI420", ToPlanar(4, PxBgraToI420), 0);
}

TEST(PixelVariants, ConversionsToRgbDifferByAtMostOne) {
  CompareLevels("PxYuy2ToBgr", Packed(2, 3, PxYuy2ToBgr), 1);
  CompareLevels("PxYuy2ToBgra", Packed(2, 4, [](auto s, auto ss, auto d, auto ds, PxSize z) {
                  return PxYuy2ToBgra(s, ss, d, ds, z, 0x3c);
                }), 1);
  CompareLevels("PxI420ToBgr", FromPlanar(3, PxI420ToBgr), 1);
  CompareLevels("PxI420ToBgra", FromPlanar(4, [](auto p, auto ps, auto d, auto ds, PxSize z) {
                  return PxI420ToBgra(p, ps, d, ds, z, 0xc3);
                }), 1);
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
