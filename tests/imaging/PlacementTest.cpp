#include <gtest/gtest.h>

#include <tuple>

#include "imaging/Placement.h"

namespace {

auto Fields(const ScaleRect& r) { return std::make_tuple(r.x, r.y, r.width, r.height); }

TEST(PlaceRects, RectanglesForEachStyle) {
  const struct {
    std::int32_t style, sw, sh, dw, dh;
    ScaleRect s, d;
  } cases[] = {
      {1, 1920, 1080, 640, 480, {0, 0, 1920, 1080}, {0, 60, 640, 360}},  // Fill
      {2, 1920, 1080, 640, 480, {240, 0, 1440, 1080}, {0, 0, 640, 480}},  // Fit
      {0, 1920, 1080, 640, 480, {0, 0, 1920, 1080}, {0, 0, 640, 480}},  // Stretch, and for unknown styles
      {7, 1920, 1080, 640, 480, {0, 0, 1920, 1080}, {0, 0, 640, 480}},
      {-1, 4, 4, 2, 2, {0, 0, 4, 4}, {0, 0, 2, 2}},
      // Full width would be 960 high: the full-height candidate is taken.
      {1, 640, 480, 1280, 720, {0, 0, 640, 480}, {160, 0, 960, 720}},
      // Odd leftover: the extra pixel goes to the right band (281 against 280).
      {1, 1000, 1000, 1281, 720, {0, 0, 1000, 1000}, {280, 0, 720, 720}},
      // Same aspect: no band, no crop.
      {1, 1280, 720, 640, 360, {0, 0, 1280, 720}, {0, 0, 640, 360}},
      {2, 1280, 720, 640, 360, {0, 0, 1280, 720}, {0, 0, 640, 360}},
      // A crop of odd leftover keeps the extra row in the bottom margin.
      {2, 640, 481, 640, 360, {0, 60, 640, 360}, {0, 0, 640, 360}},
      {2, 640, 480, 1280, 720, {0, 60, 640, 360}, {0, 0, 1280, 720}},
      {1, 1, 1, 3, 2, {0, 0, 1, 1}, {0, 0, 2, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.style << ": " << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh);
    ScaleRect s{-1, -1, -1, -1};
    ScaleRect d{-1, -1, -1, -1};
    PlaceRects(c.style, c.sw, c.sh, c.dw, c.dh, &s, &d);
    EXPECT_EQ(Fields(s), Fields(c.s));
    EXPECT_EQ(Fields(d), Fields(c.d));
  }
}

}  // namespace
