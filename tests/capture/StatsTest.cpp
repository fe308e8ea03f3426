// The figures telvor-capture reports, from made-up records.
#include "Stats.h"

#include <gtest/gtest.h>

#include "Report.h"
#include "SoundStamp.h"

namespace capture {
namespace {

constexpr std::int64_t kPeriod = 333333;  // 30 frames per second

TEST(Stats, PercentilesAreValuesThatOccurred) {
  std::vector<double> values;
  for (int i = 100; i >= 1; --i) values.push_back(i);  // unsorted on purpose
  const Spread s = Summarize(values);
  EXPECT_TRUE(s.count == 100 && s.p50 == 50 && s.p99 == 99 && s.max == 100);
  // Few values: p99 of ten is the largest, p50 the fifth.
  const Spread few = Summarize({3, 1, 2, 10, 4, 5, 6, 7, 8, 9});
  EXPECT_TRUE(few.p50 == 5 && few.p99 == 10);
  const Spread one = Summarize({2.5});
  EXPECT_TRUE(one.p50 == 2.5 && one.max == 2.5);
  EXPECT_EQ(0u, Summarize({}).count);
}

TEST(Stats, SampleTimesAreCheckedAgainstTheGridFromTheFirstStamp) {
  std::vector<SampleTimes> times;
  for (int i = 0; i < 5; ++i) times.push_back({true, 1000 + i * kPeriod, 1000 + (i + 1) * kPeriod});
  Regularity r = CheckSampleTimes(times, kPeriod);
  EXPECT_EQ(5u, r.checked);
  EXPECT_EQ(0u, r.offGrid + r.wrongLength + r.gaps);
  // A sample stamped late by 7 units, with its length kept: off the grid, and
  // a gap before it and an overlap after it.
  times[2].start += 7;
  times[2].stop += 7;
  r = CheckSampleTimes(times, kPeriod);
  EXPECT_EQ(1u, r.offGrid);
  EXPECT_EQ(7, r.maxDeviation);
  EXPECT_EQ(2u, r.gaps);
  EXPECT_EQ(0u, r.wrongLength);
  // Samples without times are skipped, not counted as grid steps.
  times[2] = {};
  r = CheckSampleTimes(times, kPeriod);
  EXPECT_EQ(4u, r.checked);
  EXPECT_EQ(2u, r.offGrid);  // the two after the hole sit one period early
  EXPECT_EQ(kPeriod, r.maxDeviation);
}

std::vector<DeliveredFrame> Frames(std::initializer_list<long long> numbers) {
  std::vector<DeliveredFrame> frames;
  for (long long n : numbers) frames.push_back({n >= 0, static_cast<std::uint32_t>(n)});
  return frames;
}

TEST(Stats, FrameTallyCountsNewRepeatedDroppedAndBackwards) {
  const struct {
    const char* name;
    std::vector<DeliveredFrame> frames;  // -1: a black picture before the producer started
    std::size_t unmarked, distinct, repeated, dropped, backwards, written;
  } cases[] = {
      // 11 and 13 again; 12 and 13 skipped when 14 came; 13 after 15.
      {"mixed", Frames({-1, -1, 10, 11, 11, 14, 15, 13, 13, 16}), 2, 5, 2, 2, 1, 7},
      {"counter wrap", Frames({0xFFFFFFFE, 0xFFFFFFFF, 1, 2}), 0, 4, 0, 1, 0, 5},  // frame number 0 dropped
      {"black only", Frames({-1}), 1, 0, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const FrameTally t = TallyFrames(c.frames);
    EXPECT_EQ(c.unmarked, t.unmarked);
    EXPECT_EQ(c.frames.size() - c.unmarked, t.marked);
    EXPECT_EQ(c.distinct, t.distinct);
    EXPECT_EQ(c.repeated, t.repeated);
    EXPECT_EQ(c.dropped, t.dropped);
    EXPECT_EQ(c.backwards, t.backwards);
    EXPECT_EQ(c.written, t.Written());
  }
  const FrameTally t = TallyFrames(cases[0].frames);
  EXPECT_EQ(10u, t.first);
  EXPECT_EQ(16u, t.last);
}

// Jitter is each interval's distance from the period. The audio rate counts
// what the clock paced before the last arrival: 10 ms packets of 480 frames
// every 10 ms are 48,000 per second, whatever the last packet's size.
TEST(Stats, JitterAndAudioRateComeFromTheArrivals) {
  const std::vector<double> j = ArrivalJitterMs({0, kPeriod, 2 * kPeriod + 20000, 3 * kPeriod}, kPeriod);
  EXPECT_EQ((std::vector<double>{0.0, 2.0, 2.0}), j);  // 2 ms late, and the next one 2 ms early
  EXPECT_TRUE(ArrivalJitterMs({5}, kPeriod).empty());
  std::vector<std::int64_t> arrivals;
  std::vector<std::uint32_t> frames;
  for (int i = 0; i <= 100; ++i) {
    arrivals.push_back(5000000 + i * 100000);
    frames.push_back(i == 100 ? 256 : 480);
  }
  EXPECT_DOUBLE_EQ(48000.0, RateOverArrivals(arrivals, frames));
  EXPECT_EQ(0.0, RateOverArrivals({1}, {480}));
  EXPECT_EQ(0.0, RateOverArrivals({7, 7}, {480, 480}));
}

SampleRecord Video(std::int64_t i, long long frame, std::int64_t latency, bool stamped = true) {
  SampleRecord r;
  r.arrival = 1000000 + i * kPeriod;
  r.running = true;
  r.streamArrival = i * kPeriod + 10000;  // 1 ms after its start
  r.times = {true, i * kPeriod, (i + 1) * kPeriod};
  r.band.marked = frame >= 0;
  r.band.frame = static_cast<std::uint32_t>(frame);
  r.band.stamped = stamped && frame >= 0;
  r.latency = latency;
  return r;
}

TEST(Report, VideoFiguresTakeLatencyFromEachFramesFirstShowing) {
  // Frame 2 is shown twice; its second showing is a period older and must
  // not count as latency (the repeat count tells it).
  const std::vector<SampleRecord> records = {Video(0, -1, 0), Video(1, 1, 100000), Video(2, 2, 200000),
                                             Video(3, 2, 533333), Video(4, 4, 300000)};
  CaptureRun run;
  run.window = 5 * kPeriod;
  run.period = kPeriod;
  run.cpuTime = 5 * 20000;  // 2 ms a sample
  const KeyValues f = VideoFigures(records, run);
  EXPECT_EQ("5", Figure(f, "samples_expected"));
  EXPECT_EQ("1", Figure(f, "frames_dropped"));
  EXPECT_EQ("75.00", Figure(f, "frames_delivered_pct"));
  EXPECT_EQ("3", Figure(f, "latency_count"));
  EXPECT_EQ("20.000", Figure(f, "latency_p50_ms"));
  EXPECT_EQ("30.000", Figure(f, "latency_max_ms"));
  EXPECT_EQ("2.000", Figure(f, "cpu_ms_per_frame"));
  EXPECT_NE(std::string::npos, VideoSummary(f).find("latency p50/p99/max 20.000/30.000/30.000 ms"));
  EXPECT_EQ("5", Figure(f, "video_offset_count"));
  EXPECT_EQ("10.000", Figure(f, "video_first_frame_delay_ms"));
}

// Offsets are arrival stream time minus the sample's start; a sample that came
// before the sink ran has no stream time and is only counted.
TEST(Stats, StreamOffsetsAndFirstPictureDelay) {
  struct Row {
    bool running;
    std::int64_t streamArrival;
    bool timed;
    std::int64_t start;
    long long frame;  // -1: black picture
    bool stamped;
    std::int64_t latency;
  };
  const struct {
    const char* name;
    std::vector<Row> rows;
    std::vector<double> offsetsMs;
    std::size_t beforeRun;
    double firstDelayMs;  // < 0: none
  } cases[] = {
      {"on time and late", {{true, 50000, true, 40000, 3, true, 250000}, {true, 400000, true, 373333, 4, true, 90000}},
       {1.0, 2.6667}, 0, 25.0},
      {"stamp ahead of its arrival", {{true, 0, true, 20000, -1, false, 0}}, {-2.0}, 0, -1},
      {"before Run, untimed, black first", {{false, 0, true, 0, -1, false, 0}, {true, 10000, false, 0, -1, false, 0},
        {true, 30000, true, 0, 7, true, 120000}, {true, 40000, true, 10000, 8, true, 1}}, {3.0, 3.0}, 1, 12.0},
      {"first picture without a write time", {{true, 10000, true, 0, 5, false, 0}, {true, 20000, true, 10000, 6, true, 1}},
       {1.0, 1.0}, 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<SampleRecord> records;
    for (const Row& row : c.rows) {
      SampleRecord r;
      r.running = row.running;
      r.streamArrival = row.streamArrival;
      r.times = {row.timed, row.start, row.start + kPeriod};
      r.band.marked = row.frame >= 0;
      r.band.frame = static_cast<std::uint32_t>(row.frame);
      r.band.stamped = row.stamped;
      r.latency = row.latency;
      records.push_back(r);
    }
    const StreamOffsets offsets = OffsetsFromStreamTime(records);
    ASSERT_EQ(c.offsetsMs.size(), offsets.ms.size());
    for (std::size_t i = 0; i < offsets.ms.size(); ++i) EXPECT_NEAR(c.offsetsMs[i], offsets.ms[i], 1e-4);
    EXPECT_EQ(c.beforeRun, offsets.beforeRun);
    double delay = -1;
    EXPECT_EQ(c.firstDelayMs >= 0, FirstPictureDelayMs(records, delay));
    if (c.firstDelayMs >= 0) {
      EXPECT_DOUBLE_EQ(c.firstDelayMs, delay);
    }
  }
}

TEST(Report, AudioFiguresCountSilenceAndHolesInTheStamps) {
  std::vector<SampleRecord> records;
  for (int i = 0; i < 4; ++i) {
    SampleRecord r;
    r.arrival = i * 100000;
    r.length = 1920;
    r.times = {true, i * 100000, (i + 1) * 100000};
    r.silent = i == 1;
    records.push_back(r);
  }
  records[3].times = {true, 350000, 450000};  // a hole of 5 ms before the last sample
  CaptureRun run;
  run.window = 400000;
  run.samplesPerSecond = 48000;
  const KeyValues f = AudioFigures(records, run);
  EXPECT_EQ("1920", Figure(f, "audio_frames"));
  EXPECT_EQ("48000.00", Figure(f, "rate_per_s"));
  EXPECT_EQ("0.0000", Figure(f, "rate_error_pct"));
  EXPECT_EQ("1", Figure(f, "silent_samples"));
  EXPECT_EQ("1", Figure(f, "times_gaps"));
  EXPECT_EQ("10.000", Figure(f, "longest_arrival_gap_ms"));
  EXPECT_EQ("4", Figure(f, "audio_before_run"));  // made-up records that never ran
  EXPECT_EQ("0", Figure(f, "audio_offset_count"));
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
    EXPECT_EQ(written.time, read.time);
    EXPECT_EQ(written.packet, read.packet);
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
  EXPECT_EQ(5u, tally.delayMs.size());
  EXPECT_EQ(1u, tally.repeated);
  EXPECT_EQ(2u, tally.missing);
}

}  // namespace
}  // namespace capture
