// The figures telvor-capture reports, from made-up records.
#include "Stats.h"

#include <gtest/gtest.h>

#include "Report.h"
#include "SoundStamp.h"

namespace capture {
namespace {

constexpr std::int64_t kPeriod = 333333;  // 30 frames per second

// A video sample stamped from `start` for a period, arrived at stream time
// `streamArrival`, showing producer frame `frame` (-1: black) written
// `latency` before (0: no write time).
SampleRecord Sample(std::int64_t start, std::int64_t streamArrival, long long frame, std::int64_t latency,
                    bool running = true, bool timed = true) {
  SampleRecord r;
  r.arrival = 1000000 + streamArrival;
  r.running = running;
  r.streamArrival = streamArrival;
  r.times = {timed, start, start + kPeriod};
  r.band = {frame >= 0, static_cast<std::uint32_t>(frame), frame >= 0 && latency > 0};
  r.latency = latency;
  return r;
}

TEST(Stats, PercentilesAreValuesThatOccurred) {
  std::vector<double> values;
  for (int i = 100; i >= 1; --i) values.push_back(i);  // unsorted on purpose
  const Spread s = Summarize(values);
  EXPECT_TRUE(s.count == 100 && s.min == 1 && s.p50 == 50 && s.p99 == 99 && s.max == 100);
  // Few values: p99 of ten is the largest, p50 the fifth.
  const Spread few = Summarize({3, 1, 2, 10, 4, 5, 6, 7, 8, 9});
  EXPECT_TRUE(few.p50 == 5 && few.p99 == 10);
  EXPECT_EQ(0u, Summarize({}).count);
}

TEST(Stats, SampleTimesAreCheckedAgainstTheGridFromTheFirstStamp) {
  std::vector<SampleTimes> times;
  for (int i = 0; i < 5; ++i) times.push_back({true, 1000 + i * kPeriod, 1000 + (i + 1) * kPeriod});
  Regularity r = CheckSampleTimes(times, kPeriod);
  EXPECT_TRUE(r.checked == 5 && r.offGrid + r.wrongLength + r.gaps == 0);
  // Stamped late by 7 units, its length kept: off the grid, a gap before it and an overlap after it.
  times[2].start += 7;
  times[2].stop += 7;
  r = CheckSampleTimes(times, kPeriod);
  EXPECT_TRUE(r.offGrid == 1 && r.maxDeviation == 7 && r.gaps == 2 && r.wrongLength == 0);
  // A sample without times, or none at all: a gap, the grid kept.
  times[2] = {};
  r = CheckSampleTimes(times, kPeriod);
  EXPECT_TRUE(r.checked == 4 && r.offGrid == 0 && r.maxDeviation == 0 && r.gaps == 1);
}

TEST(Stats, FrameTallyCountsNewRepeatedDroppedAndBackwards) {
  const struct {
    const char* name;
    std::vector<long long> frames;  // -1: a black picture before the producer started
    std::vector<std::size_t> counts;  // unmarked, marked, distinct, repeated, dropped, backwards, written, first, last
  } cases[] = {
      // 11 and 13 again; 12 and 13 skipped when 14 came; 13 after 15.
      {"mixed", {-1, -1, 10, 11, 11, 14, 15, 13, 13, 16}, {2, 8, 5, 2, 2, 1, 7, 10, 16}},
      {"counter wrap", {0xFFFFFFFE, 0xFFFFFFFF, 1, 2}, {0, 4, 4, 0, 1, 0, 5, 0xFFFFFFFE, 2}},  // number 0 dropped
      {"black only", {-1}, {1, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<DeliveredFrame> frames;
    for (long long n : c.frames) frames.push_back({n >= 0, static_cast<std::uint32_t>(n)});
    const FrameTally t = TallyFrames(frames);
    EXPECT_EQ(c.counts, std::vector<std::size_t>({t.unmarked, t.marked, t.distinct, t.repeated, t.dropped, t.backwards,
                                                  static_cast<std::size_t>(t.Written()), t.first, t.last}));
  }
}

// Jitter is each interval's distance from the period. The audio rate counts
// what the clock paced before the last arrival: 10 ms packets of 480 frames
// every 10 ms are 48,000 per second, whatever the last packet's size.
TEST(Stats, JitterAndAudioRateComeFromTheArrivals) {
  const std::vector<double> j = ArrivalJitterMs({0, kPeriod, 2 * kPeriod + 20000, 3 * kPeriod}, kPeriod);
  EXPECT_EQ((std::vector<double>{0.0, 2.0, 2.0}), j);  // 2 ms late, and the next one 2 ms early
  EXPECT_TRUE(ArrivalJitterMs({5}, kPeriod).empty());
  std::vector<std::int64_t> arrivals;
  for (int i = 0; i <= 100; ++i) arrivals.push_back(5000000 + i * 100000);
  std::vector<std::uint32_t> frames(arrivals.size(), 480);
  frames.back() = 256;
  EXPECT_DOUBLE_EQ(48000.0, RateOverArrivals(arrivals, frames));
  EXPECT_EQ(0.0, RateOverArrivals({1}, {480}));
  EXPECT_EQ(0.0, RateOverArrivals({7, 7}, {480, 480}));
}

// Frame 2 is shown twice; its second showing is a period older and must not
// count as latency (the repeat count tells it).
TEST(Report, VideoFiguresTakeLatencyFromEachFramesFirstShowing) {
  std::vector<SampleRecord> records;
  const long long frames[] = {-1, 1, 2, 2, 4};
  const std::int64_t latencies[] = {0, 100000, 200000, 533333, 300000};
  for (int i = 0; i < 5; ++i) records.push_back(Sample(i * kPeriod, i * kPeriod + 10000, frames[i], latencies[i]));
  const KeyValues f = VideoFigures(records, CaptureRun{5 * kPeriod, kPeriod});
  EXPECT_EQ((std::vector<std::string>{"1", "3", "20.000", "30.000"}),
            (std::vector<std::string>{Figure(f, "frames_dropped"), Figure(f, "latency_count"),
                                      Figure(f, "latency_p50_ms"), Figure(f, "latency_max_ms")}));
}

// Offsets are arrival stream time minus the sample's start; a sample that came
// before the sink ran has no stream time and is only counted.
TEST(Stats, StreamOffsetsAndFirstPictureDelay) {
  const struct {
    const char* name;
    std::vector<SampleRecord> records;
    std::vector<double> offsetsMs;
    std::size_t beforeRun;
    double firstDelayMs;  // < 0: none
  } cases[] = {
      {"on time and late", {Sample(40000, 50000, 3, 250000), Sample(373333, 400000, 4, 90000)}, {1.0, 2.6667}, 0, 25.0},
      {"stamp ahead of its arrival", {Sample(20000, 0, -1, 0)}, {-2.0}, 0, -1},
      {"before Run, untimed, black first",
       {Sample(0, 0, -1, 0, false), Sample(0, 10000, -1, 0, true, false), Sample(0, 30000, 7, 120000),
        Sample(10000, 40000, 8, 1)},
       {3.0, 3.0}, 1, 12.0},
      {"first picture without a write time", {Sample(0, 10000, 5, 0), Sample(10000, 20000, 6, 1)}, {1.0, 1.0}, 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const StreamOffsets offsets = OffsetsFromStreamTime(c.records);
    ASSERT_EQ(c.offsetsMs.size(), offsets.ms.size());
    for (std::size_t i = 0; i < offsets.ms.size(); ++i) EXPECT_NEAR(c.offsetsMs[i], offsets.ms[i], 1e-4);
    EXPECT_EQ(c.beforeRun, offsets.beforeRun);
    double delay = -1;
    EXPECT_EQ(c.firstDelayMs >= 0, FirstPictureDelayMs(c.records, delay));
    EXPECT_DOUBLE_EQ(c.firstDelayMs, delay);
  }
}

// The sound mark survives where the camera puts the packet in a buffer, is
// refused when any word of it changed, and the tally counts packets that
// came twice or never.
TEST(SoundStamp, ReadsBackWhereverItLandsAndTalliesRepeatsAndLosses) {
  const feed::SoundStamp written = {0xBEEF12345678ull, 0x00010002u};
  for (std::uint32_t at : {0u, 1u, 476u}) {
    std::vector<std::int16_t> sound(480 * 2, 1000);
    feed::WriteSoundStamp(written, sound.data() + at * 2, 480 - at);
    feed::SoundStamp read;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(sound.data());
    ASSERT_TRUE(feed::ReadSoundStamp(bytes, sound.size() * 2, read)) << at;
    EXPECT_TRUE(written.time == read.time && written.packet == read.packet);
    EXPECT_FALSE(feed::ReadSoundStamp(bytes, at * 4 + 12, read)) << "cut short";
    sound[at * 2 + 4] ^= 1;  // one bit of the time
    EXPECT_FALSE(feed::ReadSoundStamp(bytes, sound.size() * 2, read));
  }
  EXPECT_EQ(6, feed::SoundStampAge(feed::kSoundTimeMask - 2, 3));  // across the 48-bit wrap
  std::vector<SampleRecord> records(6);
  const std::uint32_t packets[] = {7, 8, 8, 11, 12, 12};
  for (size_t i = 0; i < records.size(); ++i) {
    records[i].soundStamped = i != 4;  // a buffer without a mark is no packet
    records[i].soundPacket = packets[i];
    records[i].soundDelay = 10000 * static_cast<std::int64_t>(i);
  }
  const SoundTally tally = TallySound(records);
  EXPECT_TRUE(tally.delayMs.size() == 5 && tally.repeated == 1 && tally.missing == 2);
}

}  // namespace
}  // namespace capture
