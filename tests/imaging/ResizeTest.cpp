// The resamplers against a per-pixel rendering of their formulas, at every
// processor level, on random geometry. Sources are the fuzzers' guarded planes
// (padded, misaligned, top-down or bottom-up), so a read past them faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "FuzzPlane.h"
#include "imaging/Pixel.h"
#include "imaging/Resampler.h"

namespace {

using telvor::fuzz::Layout;
using telvor::fuzz::Plane;

constexpr std::uint8_t kSentinel = 0xA5;
constexpr double kEps = 0.0000001;

struct LevelGuard {
  ~LevelGuard() { SelectCpuLevel(); }
};

// A random picture of rowBytes x rows in a plane of random layout.
Plane RandomPlane(std::int32_t rowBytes, std::int32_t rows, FuzzedDataProvider& in) {
  Plane plane(rowBytes, rows, Layout::Draw(in));
  plane.Randomize(in);
  return plane;
}

// ---- Plane: centre-aligned, the formulas pixel by pixel --------------------------------------
struct PlaneCase {
  std::int32_t w, h;
  ScaleRect roi;
  std::int32_t dw, dh;  // destination picture
  ScaleRect dstRoi;
  double fx, fy, shiftX, shiftY;
};

int Weight(double p, double n) { return static_cast<int>((p - n) * 16384 + kEps); }

int ReferencePlanePixel(const std::uint8_t* src, const PlaneCase& c, int x0, int x1, int y0, int y1, int i, int j) {
  auto at = [&](int col, int row) { return static_cast<int>(src[static_cast<std::ptrdiff_t>(row) * c.w + col]); };
  auto clampCol = [&](double col) { return static_cast<int>(std::min<double>(std::max<double>(col, x0), x1 - 1)); };
  const double u = (j + 0.5 - c.shiftX) / c.fx - 0.5, v = (i + 0.5 - c.shiftY) / c.fy - 0.5;
  const double nu = std::floor(u), nv = std::floor(v);
  const int wx = Weight(u, nu), wy = Weight(v, nv);
  if (v < y0 || v >= y1 - 1) {
    const int row = v < y0 ? y0 : y1 - 1;
    return (at(clampCol(nu), row) * (16384 - wx) + at(clampCol(nu + 1), row) * wx + 8192) >> 14;
  }
  const int r = static_cast<int>(nv);
  if (u < x0 || u >= x1 - 1) {
    const int col = u < x0 ? x0 : x1 - 1;
    return (at(col, r) * (16384 - wy) + at(col, r + 1) * wy + 8192) >> 14;
  }
  const int n = static_cast<int>(nu);
  const int top = (at(n, r) * (16384 - wx) + at(n + 1, r) * wx + 128) >> 8;
  const int bottom = (at(n, r + 1) * (16384 - wx) + at(n + 1, r + 1) * wx + 128) >> 8;
  return (top * (16384 - wy) + bottom * wy + 524288) >> 20;
}

std::vector<std::uint8_t> ReferencePlane(const std::vector<std::uint8_t>& src, const PlaneCase& c) {
  std::vector<std::uint8_t> out(static_cast<size_t>(c.dw) * c.dh, kSentinel);
  const int x0 = std::max(c.roi.x, 0), x1 = std::min(c.roi.x + c.roi.width, c.w);
  const int y0 = std::max(c.roi.y, 0), y1 = std::min(c.roi.y + c.roi.height, c.h);
  const int j0 = std::max<int>(c.dstRoi.x, static_cast<int>(std::ceil(x0 * c.fx + c.shiftX - 0.5)));
  const int j1 = std::min<int>(c.dstRoi.x + c.dstRoi.width, static_cast<int>(std::ceil(x1 * c.fx + c.shiftX - 0.5)));
  const int i0 = std::max<int>(c.dstRoi.y, static_cast<int>(std::ceil(y0 * c.fy + c.shiftY - 0.5)));
  const int i1 = std::min<int>(c.dstRoi.y + c.dstRoi.height, static_cast<int>(std::ceil(y1 * c.fy + c.shiftY - 0.5)));
  for (int i = i0; i < i1; ++i) {
    for (int j = j0; j < j1; ++j) {
      out[static_cast<size_t>(i) * c.dw + j] =
          static_cast<std::uint8_t>(ReferencePlanePixel(src.data(), c, x0, x1, y0, y1, i, j));
    }
  }
  return out;
}

PlaneCase RandomPlaneCase(FuzzedDataProvider& in) {
  auto below = [&](int n) { return in.ConsumeIntegralInRange(0, n - 1); };
  PlaneCase c{};
  c.w = (1 + below(90)) * (below(4) == 0 ? 4 : 1);
  c.h = 1 + below(90);
  // A third of the regions start inside the picture and may run past it (they are clipped).
  c.roi = below(3) ? ScaleRect{0, 0, c.w, c.h} : ScaleRect{below(c.w), below(c.h), 1 + below(c.w), 1 + below(c.h)};
  c.fx = in.ConsumeFloatingPointInRange(0.4, 3.2);
  c.fy = in.ConsumeFloatingPointInRange(0.4, 3.2);
  if (below(3) == 0) {
    c.shiftX = in.ConsumeFloatingPointInRange(-6.0, 6.0);
    c.shiftY = in.ConsumeFloatingPointInRange(-6.0, 6.0);
  }
  c.dw = 1 + static_cast<int>(std::ceil(c.w * c.fx + 8));
  c.dh = 1 + static_cast<int>(std::ceil(c.h * c.fy + 8));
  c.dstRoi = below(3) ? ScaleRect{0, 0, c.dw, c.dh} : ScaleRect{below(5), below(5), c.dw / 2 + 1, c.dh / 2 + 1};
  c.dstRoi.width = std::min(c.dstRoi.width, c.dw - c.dstRoi.x);
  c.dstRoi.height = std::min(c.dstRoi.height, c.dh - c.dstRoi.y);
  return c;
}

// Every level the processor runs gives `expected` from `resize`, which
// writes into a buffer of exactly that size.
template <typename Resize>
void ExpectEveryLevel(const std::vector<std::uint8_t>& expected, const Resize& resize) {
  for (int level = 0; level < kPxLevelCount; ++level) {
    if (ForceCpuLevel(level) != level) continue;
    std::vector<std::uint8_t> out(expected.size(), kSentinel);
    resize(out.data());
    ASSERT_EQ(out, expected) << "level " << level;
  }
}

// A bottom-up source also passes an option bit in the interpolation code,
// which must change nothing.
void ExpectPlaneAtEveryLevel(const Plane& src, const PlaneCase& c) {
  std::int32_t bytes = 0;
  ASSERT_EQ(PxResizeBufferSize(c.roi, c.dstRoi, 1, 2, &bytes), kPxOk);
  std::vector<std::uint8_t> work(bytes);
  SCOPED_TRACE(testing::Message() << "stride " << src.stride() << " " << c.w << "x" << c.h << " -> " << c.dw << "x"
                                  << c.dh << " fx " << c.fx << " fy " << c.fy);
  ExpectEveryLevel(ReferencePlane(src.Picture(), c), [&](std::uint8_t* out) {
    const PxStatus status = PxResizePlane(src.first(), PxSize{c.w, c.h}, src.stride(), c.roi, out, c.dw, c.dstRoi, c.fx,
                                          c.fy, c.shiftX, c.shiftY, src.stride() < 0 ? 0x40000002 : 2, work.data());
    ASSERT_TRUE(status == kPxOk || status == kPxNothingToDo || status == kPxRegionTooSmall) << status;
  });
  // Prepared once, at the highest level, then run at every level in turn.
  ForceCpuLevel(kPxLevelCount - 1);
  telvor::imaging::PlaneResampler prepared;
  prepared.Prepare(PxSize{c.w, c.h}, c.roi, c.dstRoi, c.fx, c.fy, c.shiftX, c.shiftY, 2);
  ExpectEveryLevel(ReferencePlane(src.Picture(), c),
                   [&](std::uint8_t* out) { prepared.Run(src.first(), src.stride(), out, c.dw); });
}

TEST(PxResizePlane, EveryLevelMatchesTheFormulasOnRandomGeometry) {
  LevelGuard guard;
  const std::uint32_t seed = 20261206;
  FuzzedDataProvider in(reinterpret_cast<const std::uint8_t*>(&seed), sizeof seed);
  for (int iteration = 0; iteration < 500; ++iteration) {
    const PlaneCase c = RandomPlaneCase(in);
    ExpectPlaneAtEveryLevel(RandomPlane(c.w, c.h, in), c);
  }
  // Wide rows, so most samples run through the vector steps, at the two
  // factors the converter sees most (1080 <-> 720), a reduction of 4.8, where
  // some groups of samples fit a vector step's window and others do not, and
  // equal sizes.
  const struct {
    int w, h, dw, dh;
  } sizes[] = {{1921, 9, 1281, 6}, {1281, 6, 1921, 9}, {1000, 7, 208, 3}, {640, 4, 1283, 11}, {37, 23, 37, 23}};
  for (const auto& s : sizes) {
    const PlaneCase c{s.w, s.h, {0, 0, s.w, s.h}, s.dw, s.dh, {0, 0, s.dw, s.dh},
                      static_cast<double>(s.dw) / s.w, static_cast<double>(s.dh) / s.h, 0.0, 0.0};
    const Plane src = RandomPlane(c.w, c.h, in);
    ExpectPlaneAtEveryLevel(src, c);
    if (s.w == s.dw) {
      EXPECT_EQ(ReferencePlane(src.Picture(), c), src.Picture());  // the model itself: equal sizes copy
    }
  }
}

// ---- YUY2: corner-aligned, luma and chroma on their own grids --------------------------------
struct Tap {
  int a, b, w;
};

Tap CornerReference(int k, double step, int samples) {
  const double p = k * step;
  const int n = static_cast<int>(p + kEps);
  if (n >= samples - 1) return {std::max(samples - 2, 0), samples - 1, 16384};
  return {n, n + 1, Weight(p, n)};
}

double Step(int samples, double scaled) { return scaled - 1 > 0 ? (samples - 1) / (scaled - 1) : 0; }

// Whole source picture (rows of 2 * w bytes) as region; output extent as the caller computes it.
std::vector<std::uint8_t> ReferenceYuy2(const std::vector<std::uint8_t>& src, int w, int h, int ow, int oh,
                                        int dstStride, double fx, double fy) {
  std::vector<std::uint8_t> out(static_cast<size_t>(dstStride) * oh, kSentinel);
  const double lumaStep = Step(w, w * fx), chromaStep = Step(w / 2, (w / 2) * fx), rowStep = Step(h, h * fy);
  for (int i = 0; i < oh; ++i) {
    const Tap r = CornerReference(i, rowStep, h);
    for (int e = 0; e < 2 * ow; ++e) {
      const bool luma = e % 2 == 0;  // even bytes: luma, odd: Cb and Cr on the half-width grid
      const Tap t = luma ? CornerReference(e / 2, lumaStep, w) : CornerReference(e / 4, chromaStep, w / 2);
      const int first = luma ? 2 * t.a : 4 * t.a + e % 4, second = luma ? 2 * t.b : 4 * t.b + e % 4;
      auto pass = [&](int row) {
        const std::uint8_t* p = &src[static_cast<size_t>(row) * 2 * w];
        return (p[first] * (16384 - t.w) + p[second] * t.w + 128) >> 8;
      };
      out[static_cast<size_t>(i) * dstStride + e] =
          static_cast<std::uint8_t>((pass(r.a) * (16384 - r.w) + pass(r.b) * r.w + 524288) >> 20);
    }
  }
  return out;
}

// Hand-worked values, which the model must agree with: doubling keeps the
// corners (output luma column 7 is source column 3); two pixels wide, the
// nearest sample is taken even with the bilinear code, centre-aligned: output
// column j reads floor((j + 0.5) / 2).
TEST(PxResizeYuy2, DoublingKeepsTheCornersAndTinySourcesTakeTheNearestSample) {
  const std::vector<std::uint8_t> src = {10, 100, 20, 200, 30, 110, 40, 210,  //
                                         50, 120, 60, 220, 70, 130, 80, 230};
  std::vector<std::uint8_t> out(16 * 4, kSentinel);
  ASSERT_EQ(PxResizeYuy2(src.data(), PxSize{4, 2}, 8, ScaleRect{0, 0, 4, 2}, out.data(), 16, PxSize{8, 4}, 2.0, 2.0, 2),
            kPxOk);
  // Luma corners, the first Cb and the first row's last Cr.
  EXPECT_EQ((std::vector<int>{out[0], out[14], out[48], out[62], out[1], out[15]}),
            (std::vector<int>{10, 40, 50, 80, 100, 210}));
  EXPECT_EQ(out, ReferenceYuy2(src, 4, 2, 8, 4, 16, 2.0, 2.0));

  out.assign(8 * 4, kSentinel);
  ASSERT_EQ(PxResizeYuy2(src.data(), PxSize{2, 2}, 4, ScaleRect{0, 0, 2, 2}, out.data(), 8, PxSize{4, 4}, 2.0, 2.0, 2),
            kPxOk);
  const std::vector<std::uint8_t> top = {10, 100, 10, 200, 20, 100, 20, 200};
  const std::vector<std::uint8_t> bottom = {30, 110, 30, 210, 40, 110, 40, 210};
  std::vector<std::uint8_t> rows;
  for (const auto* row : {&top, &top, &bottom, &bottom}) rows.insert(rows.end(), row->begin(), row->end());
  EXPECT_EQ(out, rows);
}

TEST(PxResizeYuy2, OutputExtent) {
  const struct {
    PxSize out;
    double fx, fy;
    PxStatus status;
    long written;
  } cases[] = {{{8, 4}, 0.18, 1, kPxRegionTooSmall, 0},  // 8 * 0.18 = 1.44: below 1.5, no output column
               {{8, 4}, 1, 0.1, kPxRegionTooSmall, 0},   // 4 * 0.1 = 0.4: below half a row
               {{8, 4}, 0.2, 0.15, kPxOk, 4},            // 1.6 is widened to two columns, 0.6 to one row
               {{10, 3}, 3, 3, kPxOk, 3 * 20}};          // the output stops at the destination size
  const std::vector<std::uint8_t> src(8 * 4 * 2, 50);
  for (const auto& c : cases) {
    std::vector<std::uint8_t> dst(64 * 8, kSentinel);
    EXPECT_EQ(PxResizeYuy2(src.data(), PxSize{8, 4}, 16, ScaleRect{0, 0, 8, 4}, dst.data(), 128, c.out, c.fx, c.fy, 2),
              c.status);
    EXPECT_EQ(static_cast<long>(dst.size() - std::count(dst.begin(), dst.end(), kSentinel)), c.written) << c.fx;
  }
}

// The output ends exactly where its last row does.
void ExpectYuy2AtEveryLevel(FuzzedDataProvider& in, int w, int h, int ow, int oh, int dstStride, double fx, double fy) {
  const Plane src = RandomPlane(2 * w, h, in);
  auto expected = ReferenceYuy2(src.Picture(), w, h, ow, oh, dstStride, fx, fy);
  expected.resize(static_cast<size_t>(dstStride) * (oh - 1) + 2 * ow);
  SCOPED_TRACE(testing::Message() << "stride " << src.stride() << " " << w << "x" << h << " -> " << ow << "x" << oh);
  ExpectEveryLevel(expected, [&](std::uint8_t* out) {
    ASSERT_EQ(PxResizeYuy2(src.first(), PxSize{w, h}, src.stride(), ScaleRect{0, 0, w, h}, out, dstStride,
                           PxSize{ow, oh}, fx, fy, 2),
              kPxOk);
  });
  ForceCpuLevel(kPxLevelCount - 1);
  telvor::imaging::Yuy2Resampler prepared;
  ASSERT_EQ(prepared.Prepare(PxSize{w, h}, ScaleRect{0, 0, w, h}, PxSize{ow, oh}, fx, fy, 2), kPxOk);
  ExpectEveryLevel(expected, [&](std::uint8_t* out) { prepared.Run(src.first(), src.stride(), out, dstStride); });
}

TEST(PxResizeYuy2, EveryLevelMatchesTheFormulasOnRandomGeometry) {
  LevelGuard guard;
  const std::uint32_t seed = 612;
  FuzzedDataProvider in(reinterpret_cast<const std::uint8_t*>(&seed), sizeof seed);
  for (int iteration = 0; iteration < 200; ++iteration) {
    const int w = 2 * in.ConsumeIntegralInRange(2, iteration % 4 == 0 ? 701 : 61), h = in.ConsumeIntegralInRange(2, 13);
    const double fx = in.ConsumeFloatingPointInRange(0.3, 3.0), fy = in.ConsumeFloatingPointInRange(0.3, 3.0);
    const int ow = std::max(2, static_cast<int>(std::floor(w * fx + kEps)));
    const int oh = std::max(1, static_cast<int>(std::floor(h * fy + kEps)));
    ExpectYuy2AtEveryLevel(in, w, h, ow, oh, 2 * ow + in.ConsumeIntegralInRange(0, 3), fx, fy);
  }
  // Rows wide enough for every vector step, at the converter's common
  // factors, a reduction of 6.5, where some groups of samples fit a window and
  // others do not, an odd factor over two strips, and rows that end inside a
  // vector step.
  const struct {
    int w, h, ow, oh;
  } sizes[] = {{1920, 7, 1280, 5}, {1280, 5, 1920, 7}, {1280, 6, 196, 2}, {722, 4, 2130, 9}, {1000, 3, 998, 3}};
  for (const auto& s : sizes) {
    ExpectYuy2AtEveryLevel(in, s.w, s.h, s.ow, s.oh, 2 * s.ow, static_cast<double>(s.ow) / s.w,
                           static_cast<double>(s.oh) / s.h);
  }
}

}  // namespace
