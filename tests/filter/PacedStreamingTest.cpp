// A picture stream paced as the camera's pins are, inside Wine's real filter
// graph: what reaches the client after the streaming thread was held up.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "filter/ProducerPacing.h"
#include "support/TestSource.h"

namespace telvor::test {
namespace {

// No producer: the deadlines keep the grid, and only the spacing acts.
struct NoProducer : ProducerPacing::Items {
  std::int64_t RunPeriod() override { return kFrameDuration; }
  int PlacingArrivals(const ProducerPacing& pacing, std::int64_t* arrivals, int max, std::int64_t* period) override {
    *period = kFrameDuration;
    return pacing.RecentArrivals(arrivals, max);
  }
};

class PacedStreamingTest : public SinkGraphTest {
 protected:
  void TearDown() override {
    source.Reset();
    SinkGraphTest::TearDown();
  }
  ComPtr<TestSource> source;
};

// A picture held up after its wake-up (the machine was busy converting it),
// or deadlines woken three and a half periods late, must not reach the
// client in the same period as the next one: FFmpeg rounds each video
// arrival, counted from the first or from Run, to the frame rate and refuses
// a second frame in one period.
TEST_F(PacedStreamingTest, NoTwoPicturesInOnePeriodAfterAStall) {
  const struct {
    const char* name;
    int stallAt;
    REFERENCE_TIME stall;
  } cases[] = {{"late", 2, kFrameDuration * 7 / 2}, {"held up", 3, kFrameDuration * 7 / 10}};
  const auto period = [](REFERENCE_TIME since) { return (since + kFrameDuration / 2) / kFrameDuration; };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    NoProducer items;
    ProducerPacing pacing(&items, PhaseLock::MarginRule::kAdapts);
    source = TestSource::Create();
    TestStream& stream = *source->stream;
    stream.stallAt = c.stallAt;
    stream.stallMs = static_cast<DWORD>(c.stall / 10000);
    stream.SkipLateDeadlines();
    stream.Pace(&pacing);
    Connect(source.Get(), source->stream, nullptr);
    EXPECT_TRUE(SUCCEEDED(control->Run()));
    const std::vector<ReceivedSample> samples = Next(0, 6, 5000);
    ASSERT_EQ(S_OK, control->Stop()) << "the stream outlives its pacing";
    ASSERT_EQ(6u, samples.size());
    for (size_t i = 1; i < samples.size(); ++i) {
      SCOPED_TRACE("sample " + std::to_string(i));
      EXPECT_LT(period(samples[i - 1].arrival - samples[0].arrival), period(samples[i].arrival - samples[0].arrival));
      EXPECT_LT(period(samples[i - 1].arrival), period(samples[i].arrival));
    }
    TearDown();
    SetUp();
  }
}

}  // namespace
}  // namespace telvor::test
