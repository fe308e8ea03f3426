// Pixel primitives at random sizes, strides, alignments and processor
// levels. Each call runs at the drawn level and at the plain level; the
// outputs must agree (within one for conversions to RGB and for luma from RGB),
// the sources must be untouched, and nothing outside the destination picture
// may change. Sizes below a primitive's minimum must be refused with nothing
// written.
#include <algorithm>
#include <memory>

#include "FuzzPlane.h"
#include "imaging/Pixel.h"

using namespace telvor::fuzz;

namespace {

enum class Shape { kPacked, kPair, kPlanarFloor, kPlanarCeil, kNone };  // kPair: two packed planes

struct Op {
  const char* name;
  Shape src, dst;
  int srcBytes, dstBytes;  // per pixel, packed shapes only
  int minWidth, minHeight, tolerance;
  bool singleRow;
};

constexpr Op kOps[] = {
    {"PxCopyBytes", Shape::kPacked, Shape::kPacked, 1, 1, 1, 1, 0, true},
    {"PxFill16", Shape::kNone, Shape::kPacked, 0, 2, 1, 1, 0, true},
    {"PxSetPlane", Shape::kNone, Shape::kPacked, 0, 1, 1, 1, 0, false},
    {"PxCopyPlane", Shape::kPacked, Shape::kPacked, 1, 1, 1, 1, 0, false},
    {"PxCopyPacked422", Shape::kPacked, Shape::kPacked, 2, 2, 1, 1, 0, false},
    {"PxCopyBgra", Shape::kPacked, Shape::kPacked, 4, 4, 1, 1, 0, false},
    {"PxBgraToBgr", Shape::kPacked, Shape::kPacked, 4, 3, 1, 1, 0, false},
    {"PxBgraToYuy2", Shape::kPacked, Shape::kPacked, 4, 2, 2, 1, 1, false},
    {"PxBgraToI420", Shape::kPacked, Shape::kPlanarFloor, 4, 0, 2, 2, 1, false},
    {"PxYuy2ToYv12", Shape::kPacked, Shape::kPlanarFloor, 2, 0, 2, 2, 0, false},
    {"PxYuy2ToBgr", Shape::kPacked, Shape::kPacked, 2, 3, 2, 1, 1, false},
    {"PxYuy2ToBgra", Shape::kPacked, Shape::kPacked, 2, 4, 2, 1, 1, false},
    {"PxYv12ToYuy2", Shape::kPlanarCeil, Shape::kPacked, 0, 2, 2, 2, 0, false},
    {"PxI420ToBgr", Shape::kPlanarCeil, Shape::kPacked, 0, 3, 2, 2, 1, false},
    {"PxI420ToBgra", Shape::kPlanarCeil, Shape::kPacked, 0, 4, 2, 2, 1, false},
    {"PxInterleavePlanes", Shape::kPair, Shape::kPacked, 1, 2, 1, 1, 0, false},
};
constexpr int kOpCount = sizeof(kOps) / sizeof(kOps[0]);

// A picture of one shape: one plane, two alike, or three for 4:2:0.
struct Picture {
  Picture(Shape shape, int bytesPerPixel, std::int32_t width, std::int32_t height, FuzzedDataProvider& in) {
    const bool planar = shape == Shape::kPlanarFloor || shape == Shape::kPlanarCeil;
    const int up = shape == Shape::kPlanarCeil;
    const std::int32_t cw = std::max((width + up) / 2, 1), ch = std::max((height + up) / 2, 1);
    for (count = 0; count < (planar ? 3 : shape == Shape::kPair ? 2 : shape == Shape::kPacked ? 1 : 0); ++count) {
      const bool chroma = planar && count > 0;
      planes[count] = std::make_unique<Plane>(chroma ? cw : width * (planar ? 1 : bytesPerPixel), chroma ? ch : height,
                                              Layout::Draw(in));
      first[count] = planes[count]->first();
      strides[count] = planes[count]->stride();
    }
  }
  std::uint8_t* data() const { return first[0]; }
  std::int32_t stride() const { return strides[0]; }
  template <typename Action>
  void Each(Action action) const {
    for (int i = 0; i < count; ++i) action(*planes[i]);
  }
  // The pictures' bytes, or (whole) every byte of every block.
  std::vector<std::uint8_t> Bytes(bool whole = false) const {
    std::vector<std::uint8_t> all;
    Each([&](const Plane& p) {
      const auto bytes = whole ? std::vector<std::uint8_t>(p.block(), p.block() + p.size()) : p.Picture();
      all.insert(all.end(), bytes.begin(), bytes.end());
    });
    return all;
  }

  std::unique_ptr<Plane> planes[3];
  int count = 0;
  std::uint8_t* first[3] = {};
  std::int32_t strides[3] = {};
};

PxStatus Call(int op, const Picture& s, const Picture& d, PxSize size, std::uint8_t value) {
  switch (op) {
    case 0: return PxCopyBytes(s.data(), d.data(), size.width);
    case 1: return PxFill16(static_cast<std::uint16_t>(value * 257 + 1), d.data(), size.width);
    case 2: return PxSetPlane(value, d.data(), d.stride(), size);
    case 3: return PxCopyPlane(s.data(), s.stride(), d.data(), d.stride(), size);
    case 4: return PxCopyPacked422(s.data(), s.stride(), d.data(), d.stride(), size);
    case 5: return PxCopyBgra(s.data(), s.stride(), d.data(), d.stride(), size);
    case 6: return PxBgraToBgr(s.data(), s.stride(), d.data(), d.stride(), size);
    case 7: return PxBgraToYuy2(s.data(), s.stride(), d.data(), d.stride(), size);
    case 8: return PxBgraToI420(s.data(), s.stride(), d.first, d.strides, size);
    case 9: return PxYuy2ToYv12(s.data(), s.stride(), d.first, d.strides, size);
    case 10: return PxYuy2ToBgr(s.data(), s.stride(), d.data(), d.stride(), size);
    case 11: return PxYuy2ToBgra(s.data(), s.stride(), d.data(), d.stride(), size, value);
    case 12: return PxYv12ToYuy2(s.first, s.strides, d.data(), d.stride(), size);
    case 13: return PxI420ToBgr(s.first, s.strides, d.data(), d.stride(), size);
    case 14: return PxI420ToBgra(s.first, s.strides, d.data(), d.stride(), size, value);
    default: return PxInterleavePlanes(s.first[0], s.strides[0], s.first[1], s.strides[1], d.data(), d.stride(), size);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t bytes) {
  FuzzedDataProvider in(data, bytes);
  const int index = in.ConsumeIntegralInRange(0, kOpCount - 1);
  const Op& op = kOps[index];
  const int level = in.ConsumeIntegralInRange(0, kPxLevelCount - 1);
  // Mostly real picture sizes, half of them narrow (the vector rows' tails);
  // now and then zero or negative ones.
  std::int32_t width = in.ConsumeIntegralInRange<std::int32_t>(-2, in.ConsumeBool() ? 70 : 700);
  std::int32_t height = op.singleRow ? 1 : in.ConsumeIntegralInRange<std::int32_t>(-2, 40);
  const std::uint8_t value = in.ConsumeIntegral<std::uint8_t>();
  const std::int32_t allocWidth = std::max(width, 1), allocHeight = std::max(height, 1);

  Picture src(op.src, op.srcBytes, allocWidth, allocHeight, in);
  Picture dst(op.dst, op.dstBytes, allocWidth, allocHeight, in);
  src.Each([&](Plane& p) { p.Randomize(in); });
  // Now and then a null plane (the last one, which a check of the first alone misses).
  const bool nulled = in.ConsumeIntegralInRange(0, 15) == 0;
  if (nulled) {
    Picture& victim = src.count > 0 && in.ConsumeBool() ? src : dst;
    victim.first[victim.count - 1] = nullptr;
  }
  const std::vector<std::uint8_t> srcBefore = src.Bytes(true);
  const PxSize size{width, height};

  ForceCpuLevel(level);
  const PxStatus status = Call(index, src, dst, size, value);
  if (src.Bytes(true) != srcBefore) Fail(op.name, 1, status);
  dst.Each([&](const Plane& p) { p.CheckMargins(op.name); });
  const bool small = width < op.minWidth || height < op.minHeight;
  if (small || nulled) {
    if (!(small && status == kPxSizeTooSmall) && !(nulled && status == kPxNullPointer)) Fail(op.name, width, status);
    dst.Each([&](const Plane& p) { p.CheckUnwritten(op.name); });
    return 0;
  }
  if (status < 0) Fail(op.name, width, status);
  const std::vector<std::uint8_t> atLevel = dst.Bytes();

  dst.Each([](Plane& p) { p.Reset(); });
  ForceCpuLevel(0);
  const PxStatus plainStatus = Call(index, src, dst, size, value);
  if (plainStatus != status) Fail(op.name, plainStatus, status);
  const int difference = MaxDifference(atLevel, dst.Bytes());
  if (difference > op.tolerance) Fail(op.name, level, difference);
  return 0;
}
