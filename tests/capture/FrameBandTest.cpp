// Reading telvor-feed's bands back from pictures in every output format,
// placed the way the camera places them.
#include "FrameBand.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "TestPattern.h"
#include "imaging/SwScaler.h"
#include "telvor_producer.h"

namespace capture {
namespace {

struct Picture {
  PictureLayout layout;
  std::vector<std::uint8_t> bytes;
};

// The feed's w x h YUY2 picture of `frame` (with `stamp`, its write time) as
// the camera delivers it in `format` on a canvas of canvasW x canvasH:
// converted and placed (Fill, bars around) by the camera's own converter,
// rows stored bottom-up if asked (RGB only).
Picture Delivered(PixelFormat format, bool bottomUp, std::int32_t w, std::int32_t h, std::int32_t canvasW,
                  std::int32_t canvasH, std::uint32_t frame, const std::uint64_t* stamp) {
  const feed::Picture source = {TELVOR_FOURCC_YUY2, static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h)};
  std::vector<std::uint8_t> yuy2(feed::PictureBytes(source));
  feed::DrawTestPattern(source, frame, 0, yuy2.data());
  if (stamp) feed::DrawStampBand(source, *stamp, yuy2.data());
  Picture p{{format, canvasW, canvasH, DefaultStride(format, canvasW), bottomUp}, {}};
  p.bytes.resize(PictureBytes(p.layout));
  // The output kinds are numbered as the formats are.
  SwScaler scaler(kConverterYuy2, w, h, static_cast<std::int32_t>(format), canvasW, canvasH, bottomUp, 2, kScaleFill);
  scaler.Scale(yuy2.data(), 2 * w, p.bytes.data(), p.layout.stride);
  return p;
}

// The band is found wherever Fit's bars put the picture: above and below it
// (16:9 in 4:3), beside it (4:3 in 16:9), or nowhere.
TEST(FrameBand, ReadsFrameAndStampInEveryOutputFormatRowOrderAndPlacement) {
  const struct {
    PixelFormat format;
    bool bottomUp;
    std::int32_t w, h, canvasW, canvasH;
    bool stamped;  // without --stamp the colour bars sit under the frame band
  } cases[] = {{PixelFormat::kYuy2, false, 640, 360, 640, 360, true},  {PixelFormat::kYv12, false, 640, 360, 640, 360, true},
               {PixelFormat::kRgb24, false, 640, 360, 640, 360, true}, {PixelFormat::kRgb24, true, 640, 360, 640, 360, true},
               {PixelFormat::kRgb32, false, 640, 360, 640, 360, true}, {PixelFormat::kRgb32, true, 640, 360, 640, 360, true},
               {PixelFormat::kRgb32, true, 640, 360, 640, 480, true},  {PixelFormat::kYv12, false, 480, 360, 640, 360, true},
               {PixelFormat::kYuy2, false, 640, 480, 640, 480, false}};
  const std::uint64_t stamp = 0x123456789ABull;  // only the low 30 bits travel
  for (const auto& c : cases) {
    for (std::uint32_t frame : {0u, 1799u, 4242u, 0xA5A5A5A5u, 0xFFFFFFFFu}) {
      SCOPED_TRACE(testing::Message() << "format " << static_cast<int>(c.format) << (c.bottomUp ? " bottom-up " : " ")
                                      << c.w << "x" << c.h << " in " << c.canvasW << "x" << c.canvasH << " frame " << frame);
      const Picture p =
          Delivered(c.format, c.bottomUp, c.w, c.h, c.canvasW, c.canvasH, frame, c.stamped ? &stamp : nullptr);
      ContentRect found;  // the bars' search, on a picture whose own edges are not dark
      if (frame == 4242) {
        ASSERT_TRUE(FindContent(p.layout, p.bytes.data(), p.bytes.size(), found));
        EXPECT_EQ(std::make_tuple((c.canvasW - c.w) / 2, (c.canvasH - c.h) / 2, c.w, c.h),
                  std::tie(found.x, found.y, found.width, found.height));
      }
      const BandReading r = ReadBands(p.layout, p.bytes.data(), p.bytes.size());
      const std::uint32_t stampRead = c.stamped ? static_cast<std::uint32_t>(stamp) & kStampMask : 0;
      EXPECT_EQ(std::make_tuple(true, frame, c.stamped, stampRead), std::tie(r.marked, r.frame, r.stamped, r.stamp));
    }
  }
}

// The camera's black picture before a producer runs, and a grey picture of
// someone else's, carry no band; short buffers and bad layouts are never read
// past their end.
TEST(FrameBand, ForeignPicturesShortBuffersAndBadLayoutsAreTold) {
  const Picture p = Delivered(PixelFormat::kRgb32, false, 640, 480, 640, 480, 5, nullptr);
  for (std::uint8_t value : {0, 100}) {
    const std::vector<std::uint8_t> flat(p.bytes.size(), value);
    EXPECT_FALSE(ReadBands(p.layout, flat.data(), flat.size()).marked) << int{value};
  }
  // Half the picture: whatever is read must come from inside the buffer.
  std::vector<std::uint8_t> half(p.bytes.begin(), p.bytes.begin() + p.bytes.size() / 2);
  half.shrink_to_fit();
  EXPECT_FALSE(ReadBands(p.layout, half.data(), half.size()).marked);
  EXPECT_EQ(-1, Brightness(p.layout, half.data(), half.size(), 0, 479));
  EXPECT_EQ(-1, Brightness(p.layout, p.bytes.data(), p.bytes.size(), 640, 0));
  EXPECT_EQ(-1, Brightness(p.layout, p.bytes.data(), p.bytes.size(), 0, -1));
  PictureLayout bad = p.layout;
  bad.stride = 100;  // narrower than a row
  EXPECT_EQ(0u, PictureBytes(bad));
  bad.format = PixelFormat::kUnknown;
  EXPECT_FALSE(ReadBands(bad, p.bytes.data(), p.bytes.size()).marked);
  EXPECT_FALSE(ReadBands(p.layout, nullptr, 0).marked);
}

TEST(FrameBand, StampAgeWrapsWithTheStampAndTellsFutureStamps) {
  EXPECT_EQ(250000, StampAge(1000, 251000));
  // The clock passed a multiple of 2^30 between write and delivery.
  const std::uint64_t now = (std::uint64_t{7} << 30) + 100;
  EXPECT_EQ(200, StampAge(kStampMask - 99, now));
  // A stamp a little ahead of the reading (clocks raced) is a small negative age.
  EXPECT_EQ(-50, StampAge(150, (std::uint64_t{3} << 30) + 100));
}

}  // namespace
}  // namespace capture
