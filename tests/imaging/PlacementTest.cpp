#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "imaging/Placement.h"
#include "support/LogCapture.h"

namespace {

struct Case {
  std::int32_t style, sw, sh, dw, dh;
  ScaleRect s, d;
  const wchar_t* message;
};

auto Fields(const ScaleRect& r) { return std::make_tuple(r.x, r.y, r.width, r.height); }

TEST(PlaceRects, RectanglesAndLogLineForEachStyle) {
  const Case cases[] = {
      {1, 1920, 1080, 640, 480, {0, 0, 1920, 1080}, {0, 60, 640, 360}, L"Fill mode: 0,0,1920x1080 ==> 0,60,640x360"},
      {2, 1920, 1080, 640, 480, {240, 0, 1440, 1080}, {0, 0, 640, 480}, L"Fit mode: 240,0,1440x1080 ==> 0,0,640x480"},
      {0, 1920, 1080, 640, 480, {0, 0, 1920, 1080}, {0, 0, 640, 480}, L"Stretch mode: 0,0,1920x1080 ==> 0,0,640x480"},
      {7, 1920, 1080, 640, 480, {0, 0, 1920, 1080}, {0, 0, 640, 480}, L"Stretch mode: 0,0,1920x1080 ==> 0,0,640x480"},
      {-1, 4, 4, 2, 2, {0, 0, 4, 4}, {0, 0, 2, 2}, L"Stretch mode: 0,0,4x4 ==> 0,0,2x2"},
      // Full width would be 960 high: the full-height candidate is taken.
      {1, 640, 480, 1280, 720, {0, 0, 640, 480}, {160, 0, 960, 720}, L"Fill mode: 0,0,640x480 ==> 160,0,960x720"},
      // Odd leftover: the extra pixel goes to the right band (281 against 280).
      {1, 1000, 1000, 1281, 720, {0, 0, 1000, 1000}, {280, 0, 720, 720}, L"Fill mode: 0,0,1000x1000 ==> 280,0,720x720"},
      // Same aspect: no band, no crop.
      {1, 1280, 720, 640, 360, {0, 0, 1280, 720}, {0, 0, 640, 360}, L"Fill mode: 0,0,1280x720 ==> 0,0,640x360"},
      {2, 1280, 720, 640, 360, {0, 0, 1280, 720}, {0, 0, 640, 360}, L"Fit mode: 0,0,1280x720 ==> 0,0,640x360"},
      // A crop of odd leftover keeps the extra row in the bottom margin.
      {2, 640, 481, 640, 360, {0, 60, 640, 360}, {0, 0, 640, 360}, L"Fit mode: 0,60,640x360 ==> 0,0,640x360"},
      {2, 640, 480, 1280, 720, {0, 60, 640, 360}, {0, 0, 1280, 720}, L"Fit mode: 0,60,640x360 ==> 0,0,1280x720"},
      {1, 1, 1, 3, 2, {0, 0, 1, 1}, {0, 0, 2, 2}, L"Fill mode: 0,0,1x1 ==> 0,0,2x2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    telvor::test::LogCapture log;
    ScaleRect s{-1, -1, -1, -1};
    ScaleRect d{-1, -1, -1, -1};
    PlaceRects(c.style, c.sw, c.sh, c.dw, c.dh, &s, &d);
    EXPECT_EQ(Fields(s), Fields(c.s));
    EXPECT_EQ(Fields(d), Fields(c.d));
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].sink, telvor::test::LogCapture::Sink::kTrace);
    const std::wstring text = telvor::test::LogCapture::Strip(lines[0].text);
    EXPECT_EQ(text.rfind(L"[TELVOR] Utils(", 0), 0u) << text;
    const std::wstring tail = std::wstring(L"[PlaceRects] ") + c.message;
    EXPECT_TRUE(text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0) << text;
  }
}

}  // namespace

