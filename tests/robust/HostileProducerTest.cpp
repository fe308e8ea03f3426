// Producers that break the ring's rules, each against a streaming camera:
// the host keeps receiving samples at the camera's pace, shows black where
// no valid picture exists, and the log says why.
#include <gtest/gtest.h>

#include <cstdint>

#include "CameraGraph.h"
#include "RobustSupport.h"
#include "support/LogCapture.h"

namespace telvor::test {
namespace {

constexpr std::uint32_t kFrameBytes = StreamingCameraTest::kFrameBytes;
constexpr std::uint64_t kGoodSection = 8ull * (kFrameBytes + kSlotHeaderSize);

class HostileProducer : public StreamingCameraTest {
 protected:
  // Samples of one run: all must be black or the given fill.
  std::vector<ReceivedSample> RunFor(size_t count) {
    EXPECT_EQ(S_OK, graph->Run());
    std::vector<ReceivedSample> samples = graph->Next(count);
    EXPECT_EQ(S_OK, graph->Stop());
    EXPECT_EQ(count, samples.size()) << "the camera stopped delivering";
    return samples;
  }
  bool EverSaw(BYTE value) {
    for (const ReceivedSample& s : graph->Sink()->Samples()) {
      if (IsFilledWith(s, value, kFrameBytes)) return true;
    }
    return false;
  }
};

size_t CountBlack(const std::vector<ReceivedSample>& samples) {
  size_t n = 0;
  for (const ReceivedSample& s : samples) n += IsBlackYuy2(s) ? 1 : 0;
  return n;
}

// A ring whose eight slots carry sequences 1..8 and `fill` in every byte
// that lies inside the section.
void Prefill(HostileRing& ring, std::uint32_t stride_capacity, std::uint32_t length, BYTE fill) {
  for (std::uint32_t i = 0; i < 8; ++i) ring.WriteSlot(i, stride_capacity, i + 1, (i + 1) * 200000ull, length, fill, kFrameBytes);
}

// Rings that cannot hold a frame give black and the log says why; payload
// lengths are never trusted beyond the slot (only the slot's own bytes are
// read) and lengths shorter than a frame give black, not half a picture.
TEST_F(HostileProducer, RingsThatCannotHoldAFrameAndLyingPayloadLengths) {
  Watchdog dog("RingsThatCannotHoldAFrameAndLyingPayloadLengths", 120);
  const int camera = kHostileLayoutCamera;
  Build(camera);
  constexpr std::uint32_t kWideBytes = 2 * 16386;
  const struct {
    const char* name;
    std::uint64_t section;
    std::uint32_t width, height, capacity;
    const wchar_t* reason;  // null: the frames are shown
    std::uint32_t length = kFrameBytes;
  } cases[] = {
      {"section shorter than the ring", 3 * 4096, kWidth, kHeight, kFrameBytes, L"is shorter than the ring"},
      {"capacity 0", 4096, kWidth, kHeight, 0, L"does not fit a slot of 0 bytes"},
      {"tiny capacity", 4096, kWidth, kHeight, 6, L"does not fit a slot of 6 bytes"},
      {"capacity beyond the section", kGoodSection, kWidth, kHeight, 0x7FFFFFF0u, L"is shorter than the ring"},
      {"capacity at the 32-bit limit", kGoodSection, kWidth, kHeight, 0xFFFFFFFFu, L"is shorter than the ring"},
      {"frame larger than the capacity", kGoodSection, 640, 480, kFrameBytes, L"does not fit a slot of 6144 bytes"},
      {"frame size at the 32-bit limit", kGoodSection, 0xFFFFFFFEu, 0xFFFFFFFEu, kFrameBytes, L"does not fit a slot"},
      {"frame wider than the converter takes", 8ull * (kWideBytes + kSlotHeaderSize), 16386, 1, kWideBytes,
       L"beyond the converter", kWideBytes},
      {"length beyond the slot", kGoodSection, kWidth, kHeight, kFrameBytes, nullptr, 0xFFFFFFFFu},
      {"length shorter than a frame", kGoodSection, kWidth, kHeight, kFrameBytes,
       L"frame of 100 bytes shorter than 6144", 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    {
      HostileRing ring(camera, c.section);
      ASSERT_TRUE(ring.Ok());
      ring.SetFormat(kFourCcYuy2, c.width, c.height, kFps, c.capacity);
      Prefill(ring, c.capacity, c.length, 0x55);
      const std::vector<ReceivedSample> samples = RunFor(8);
      for (const ReceivedSample& s : samples) EXPECT_TRUE(IsBlackYuy2(s) || IsFilledWith(s, 0x55, kFrameBytes));
      if (c.reason) {
        EXPECT_EQ(samples.size(), CountBlack(samples));
      } else {
        EXPECT_LT(CountBlack(samples), samples.size()) << "the slot's own bytes are a picture";
      }
    }
    if (c.reason) EXPECT_GE(log.Count(c.reason), 1u);
    EXPECT_EQ(0u, log.Count(L"Access violation"));
  }
}

// Frames are followed by their sequence numbers only: repeats, steps back and
// jumps of 2^31 or more are never shown, wraps of 32 and 64 bits are.
TEST_F(HostileProducer, SequenceNumbersRepeatingGoingBackJumpingAndWrapping) {
  Watchdog dog("SequenceNumbersRepeatingGoingBackJumpingAndWrapping", 90);
  const int camera = kHostileSequenceCamera;
  Build(camera);
  {
    HostileRing ring(camera, kGoodSection);
    ASSERT_TRUE(ring.Ok());
    ring.SetFormat(kFourCcYuy2, kWidth, kHeight, kFps, kFrameBytes);
    ASSERT_EQ(S_OK, graph->Run());
    std::uint32_t slot = 0;
    auto write = [&](std::uint64_t sequence, BYTE value) {
      ring.WriteSlot(slot++ % 8, kFrameBytes, sequence, sequence * 200000, kFrameBytes, value, kFrameBytes);
    };
    write(1, 1);
    EXPECT_TRUE(SeeValue(1));
    write(1, 2);  // repeated
    write(0, 3);  // gone back
    write(2000 + 0x7FFFFFFFull, 5);  // too far ahead to be the next frame, even after 1000
    Sleep(200);
    write(2, 4);
    EXPECT_TRUE(SeeValue(4));
    write(1000, 6);  // a forward jump within reach
    EXPECT_TRUE(SeeValue(6));
    EXPECT_FALSE(EverSaw(2));
    EXPECT_FALSE(EverSaw(3));
    EXPECT_FALSE(EverSaw(5));
    EXPECT_EQ(S_OK, graph->Stop());
  }
  const std::uint64_t wraps[] = {0x100000000ull, 0};  // 32-bit, 64-bit
  for (std::uint64_t wrap : wraps) {
    SCOPED_TRACE(wrap);
    HostileRing ring(camera, kGoodSection);
    ASSERT_TRUE(ring.Ok());
    ring.SetFormat(kFourCcYuy2, kWidth, kHeight, kFps, kFrameBytes);
    for (std::uint32_t i = 0; i < 8; ++i) {
      ring.WriteSlot(i, kFrameBytes, wrap - 8 + i, 1000 + i, kFrameBytes, 20, kFrameBytes);
    }
    graph->Clear();
    ASSERT_EQ(S_OK, graph->Run());
    EXPECT_TRUE(SeeValue(20));
    ring.WriteSlot(0, kFrameBytes, wrap, 2000, kFrameBytes, 21, kFrameBytes);
    EXPECT_TRUE(SeeValue(21));
    ring.WriteSlot(1, kFrameBytes, wrap + 1, 3000, kFrameBytes, 22, kFrameBytes);
    EXPECT_TRUE(SeeValue(22));
    EXPECT_EQ(S_OK, graph->Stop());
  }
}

// The format is read once per start: changes in the middle of a stream are
// not followed until the next start, which then judges the new format.
TEST_F(HostileProducer, FormatChangedMidStreamAndObjectsClosedWhileStreaming) {
  Watchdog dog("FormatChangedMidStreamAndObjectsClosedWhileStreaming", 90);
  const int camera = kHostileSequenceCamera;
  Build(camera);
  auto ring = std::make_unique<HostileRing>(camera, kGoodSection);
  ASSERT_TRUE(ring->Ok());
  ring->SetFormat(kFourCcYuy2, kWidth, kHeight, kFps, kFrameBytes);
  ring->WriteSlot(0, kFrameBytes, 1, 1, kFrameBytes, 40, kFrameBytes);
  ASSERT_EQ(S_OK, graph->Run());
  EXPECT_TRUE(SeeValue(40));
  {
    LogCapture log;
    const std::uint32_t wide = 640;
    ring->PatchSlot0(offsetof(SlotHeader, video_width), &wide, sizeof(wide));
    ring->WriteSlot(1, kFrameBytes, 2, 2, kFrameBytes, 41, kFrameBytes);
    EXPECT_TRUE(SeeValue(41)) << "the running stream keeps the format it started with";
    EXPECT_EQ(S_OK, graph->Stop());
    ring->WriteSlot(2, kFrameBytes, 3, 3, kFrameBytes, 42, kFrameBytes);
    graph->Clear();
    const std::vector<ReceivedSample> samples = RunFor(8);
    EXPECT_EQ(samples.size(), CountBlack(samples));
    EXPECT_GE(log.Count(L"frame 640x48 does not fit a slot of 6144 bytes"), 1u);
  }
  {
    LogCapture log;
    const std::uint32_t nv12 = 0x3231564E;
    ring->PatchSlot0(offsetof(SlotHeader, video_fourcc), &nv12, sizeof(nv12));
    const std::uint32_t narrow = kWidth;
    ring->PatchSlot0(offsetof(SlotHeader, video_width), &narrow, sizeof(narrow));
    ring->WriteSlot(3, kFrameBytes, 4, 4, kFrameBytes, 43, kFrameBytes);
    graph->Clear();
    const std::vector<ReceivedSample> samples = RunFor(8);
    EXPECT_EQ(samples.size(), CountBlack(samples));
    EXPECT_EQ(1u, log.Count(L"producer pixel format 842094158 is neither YUY2 nor YV12, black frames instead"));
  }
  // The producer closes its objects while the camera streams: the camera's
  // own handles keep the memory, the last frame stays on screen.
  const std::uint32_t yuy2 = kFourCcYuy2;
  ring->PatchSlot0(offsetof(SlotHeader, video_fourcc), &yuy2, sizeof(yuy2));
  ring->WriteSlot(4, kFrameBytes, 5, 5, kFrameBytes, 50, kFrameBytes);
  graph->Clear();
  ASSERT_EQ(S_OK, graph->Run());
  EXPECT_TRUE(SeeValue(50));
  ring.reset();
  const std::vector<ReceivedSample> after = graph->Next(10);
  ASSERT_EQ(10u, after.size());
  for (const ReceivedSample& s : after) EXPECT_TRUE(IsFilledWith(s, 50, kFrameBytes));
  EXPECT_EQ(S_OK, graph->Stop());
  {
    // Next start: the objects are gone for good.
    LogCapture log;
    graph->Clear();
    const std::vector<ReceivedSample> samples = RunFor(5);
    EXPECT_EQ(samples.size(), CountBlack(samples));
    EXPECT_EQ(1u, log.Count(L"SharedVideo::Create failed, err=2"));
  }
}

}  // namespace
}  // namespace telvor::test
