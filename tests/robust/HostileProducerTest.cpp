// Producers that break the ring's rules, each against a streaming camera:
// the host keeps receiving samples at the camera's pace, shows black where
// no valid picture exists, and the log says why.
#include <gtest/gtest.h>

#include <cstdint>

#include "RobustSupport.h"
#include "support/LogCapture.h"

namespace telvor::test {
namespace {

using HostileProducer = RobustTest;

// Rings that cannot hold a frame give black and the log says why; payload
// lengths are never trusted beyond the slot (only the slot's own bytes are
// read) and lengths shorter than a frame give black, not half a picture.
// A format rewritten in the middle of a stream is followed at once; and a
// producer closing its objects mid-stream leaves its last frame on screen.
TEST_F(HostileProducer, RingsThatCannotHoldAFrameLyingLengthsAndFormatsChangedMidStream) {
  const int camera = kHostileLayoutCamera;
  Build(camera);
  constexpr std::uint64_t kGoodSection = RingBytes(8, kFrameBytes);
  constexpr std::uint32_t kWideBytes = 2 * 16386;
  // How many samples of a run of `count` are black; the others must show `fill`.
  const auto black_of_run = [&](size_t count, BYTE fill) {
    EXPECT_EQ(S_OK, graph->Run());
    const std::vector<ReceivedSample> samples = graph->Next(count);
    EXPECT_EQ(S_OK, graph->Stop());
    EXPECT_EQ(count, samples.size()) << "the camera stopped delivering";
    size_t black = 0;
    for (const ReceivedSample& s : samples) {
      black += IsBlackYuy2(s) ? 1 : 0;
      EXPECT_TRUE(IsBlackYuy2(s) || IsFilledWith(s, fill, kFrameBytes));
    }
    return black;
  };
  const struct {
    const char* name;
    std::uint64_t section;
    std::uint32_t width, height, capacity;
    const wchar_t* reason;  // null: the frames are shown
    std::uint32_t length = kFrameBytes;
    std::uint32_t fourcc = kFourCcYuy2;
  } cases[] = {
      {"section shorter than the ring", 3 * 4096, kWidth, kHeight, kFrameBytes, L"is shorter than the ring"},
      {"capacity 0", 4096, kWidth, kHeight, 0, L"does not fit a slot of 0 bytes"},
      {"tiny capacity", 4096, kWidth, kHeight, 6, L"does not fit a slot of 6 bytes"},
      {"capacity at the 32-bit limit", kGoodSection, kWidth, kHeight, 0xFFFFFFFFu, L"is shorter than the ring"},
      {"frame larger than the capacity", kGoodSection, 640, 480, kFrameBytes, L"does not fit a slot of 6144 bytes"},
      {"frame size at the 32-bit limit", kGoodSection, 0xFFFFFFFEu, 0xFFFFFFFEu, kFrameBytes, L"does not fit a slot"},
      {"frame wider than the converter takes", RingBytes(8, kWideBytes), 16386, 1, kWideBytes,
       L"beyond the converter", kWideBytes},
      {"length beyond the slot", kGoodSection, kWidth, kHeight, kFrameBytes, nullptr, 0xFFFFFFFFu},
      {"length shorter than a frame", kGoodSection, kWidth, kHeight, kFrameBytes,
       L"frame of 100 bytes shorter than 6144", 100},
      {"NV12", kGoodSection, kWidth, kHeight, kFrameBytes,
       L"producer pixel format 842094158 is neither YUY2 nor YV12, black frames instead", kFrameBytes, 0x3231564E},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    {
      FakeRing ring(kVideoNames, camera, c.section);
      ASSERT_TRUE(ring.Ok());
      ring.SetVideoFormat(c.fourcc, c.width, c.height, kFps, c.capacity);
      for (std::uint32_t i = 0; i < 8; ++i) {
        ring.WriteSlot(i, c.capacity, i + 1, (i + 1) * 200000ull, c.length, 0x55, kFrameBytes);
      }
      const size_t black = black_of_run(8, 0x55);
      if (c.reason) {
        EXPECT_EQ(8u, black);
      } else {
        EXPECT_LT(black, 8u) << "the slot's own bytes are a picture";
      }
    }
    EXPECT_TRUE(!c.reason || log.Count(c.reason) >= 1) << "no reason given";
    EXPECT_EQ(0u, log.Count(L"Access violation"));
  }

  auto ring = std::make_unique<FakeRing>(kVideoNames, camera, kGoodSection);
  ASSERT_TRUE(ring->Ok());
  ring->SetVideoFormat(kFourCcYuy2, kWidth, kHeight, kFps, kFrameBytes);
  // Frame n goes to slot n - 1 and shows 40 + n.
  const auto write = [&](std::uint32_t n) {
    ring->WriteSlot(n - 1, kFrameBytes, n, n, kFrameBytes, static_cast<BYTE>(40 + n), kFrameBytes);
  };
  write(1);
  graph->Clear();
  ASSERT_EQ(S_OK, graph->Run());
  EXPECT_TRUE(SeeValue(41));
  LogCapture log;
  // Followed at once: the new format's frames cannot be in these slots, so
  // black, never the old frame read in the new format.
  ring->SetVideoFormat(kFourCcYuy2, 640, kHeight, kFps, kFrameBytes);
  write(2);
  for (const ULONGLONG end = GetTickCount64() + 3000; GetTickCount64() < end;) {
    const std::vector<ReceivedSample> next = graph->Next(1);
    if (next.empty() || IsBlackYuy2(next.back())) break;
  }
  const std::vector<ReceivedSample> followed = graph->Next(4);
  ASSERT_EQ(4u, followed.size());
  for (const ReceivedSample& s : followed) EXPECT_TRUE(IsBlackYuy2(s)) << "the new format is followed";
  EXPECT_EQ(S_OK, graph->Stop());
  write(3);
  graph->Clear();
  EXPECT_EQ(8u, black_of_run(8, 43));
  EXPECT_GE(log.Count(L"frame 640x48 does not fit a slot of 6144 bytes"), 1u);
  // The camera's own handles keep the memory of a producer that closed its objects.
  ring->SetVideoFormat(kFourCcYuy2, kWidth, kHeight, kFps, kFrameBytes);
  write(4);
  graph->Clear();
  ASSERT_EQ(S_OK, graph->Run());
  EXPECT_TRUE(SeeValue(44));
  ring.reset();
  const std::vector<ReceivedSample> after = graph->Next(10);
  ASSERT_EQ(10u, after.size());
  for (const ReceivedSample& s : after) EXPECT_TRUE(IsFilledWith(s, 44, kFrameBytes));
  EXPECT_EQ(S_OK, graph->Stop());
}

}  // namespace
}  // namespace telvor::test
