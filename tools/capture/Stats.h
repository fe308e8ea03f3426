// The numbers telvor-capture reports, computed from what its sink recorded.
// Plain C++: the unit tests feed it made-up records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "FrameBand.h"

namespace capture {

// p50, p99 and the maximum of a set of values; nearest-rank percentiles, so
// every figure is a value that actually occurred.
struct Spread {
  std::size_t count = 0;
  double min = 0;
  double p50 = 0;
  double p99 = 0;
  double max = 0;
};
Spread Summarize(std::vector<double> values);

struct SampleTimes {
  bool valid = false;  // the sample carried a start time
  std::int64_t start = 0;
  std::int64_t stop = 0;
};

// What the sink noted about one delivered sample.
struct SampleRecord {
  std::int64_t arrival = 0;  // telvor_clock_now() when Receive was called, 100-ns units
  SampleTimes times;
  std::int32_t length = 0;   // actual data length, bytes
  BandReading band;          // video: what the picture showed
  std::int64_t latency = 0;  // video with a stamp: arrival - write time, 100-ns units
  bool silent = false;       // audio: zeros only
  bool soundStamped = false;  // audio: carried telvor-feed's sound stamp
  std::uint32_t soundPacket = 0;  // its packet number
  std::int64_t soundDelay = 0;    // arrival - its write time, 100-ns units
  bool running = false;      // the sink had been told to run when it arrived
  std::int64_t streamArrival = 0;  // running: graph clock at Receive - the sink's tStart, 100-ns units
};

// Where stamps sit against the stream time each sample arrived at. A live
// source stamps a sample with its deadline and delivers it then, so the
// start never lies after the arrival and trails it by the wake-up and the
// conversion.
struct StreamOffsets {
  std::vector<double> ms;     // arrival stream time - start, for running samples with times
  std::size_t beforeRun = 0;  // samples that arrived before the sink ran
};
StreamOffsets OffsetsFromStreamTime(const std::vector<SampleRecord>& records);

// How old the first producer picture was when delivered: the write-time age of
// the first sample that shows one, in ms. False when no sample showed one, or
// the first that did carried no write time (a later one would not be the first).
bool FirstPictureDelayMs(const std::vector<SampleRecord>& records, double& ms);

// How the sample stamps follow the ideal grid start0 + i * period.
struct Regularity {
  std::size_t checked = 0;        // samples with times
  std::size_t offGrid = 0;        // start not on the grid
  std::int64_t maxDeviation = 0;  // largest |start - grid|, 100-ns units
  std::size_t wrongLength = 0;    // stop - start differs from the period
  std::size_t gaps = 0;           // start differs from the previous stop
};
Regularity CheckSampleTimes(const std::vector<SampleTimes>& times, std::int64_t period);

// One delivered picture: the producer frame it showed, if it could be read.
struct DeliveredFrame {
  bool marked = false;
  std::uint32_t frame = 0;
};

struct FrameTally {
  std::size_t marked = 0;     // samples whose band could be read
  std::size_t unmarked = 0;   // black pictures (no producer yet) and unreadable ones
  std::size_t distinct = 0;   // producer frames delivered at least once
  std::size_t repeated = 0;   // samples showing the same frame as the sample before
  std::size_t dropped = 0;    // frames skipped between two delivered ones
  std::size_t backwards = 0;  // samples showing an older frame than one already shown
  std::uint32_t first = 0;    // first and newest frame numbers seen
  std::uint32_t last = 0;
  // Producer frames written from the first to the newest one seen.
  std::uint64_t Written() const { return distinct == 0 ? 0 : std::uint64_t{last - first} + 1; }
};
FrameTally TallyFrames(const std::vector<DeliveredFrame>& frames);

// |interval - period| of consecutive arrival times, in milliseconds.
std::vector<double> ArrivalJitterMs(const std::vector<std::int64_t>& arrivals, std::int64_t period);

struct AudioTally {
  std::uint64_t frames = 0;         // sample frames delivered (all samples)
  double framesPerSecond = 0;       // over the delivery times, see RateOverArrivals
  std::size_t silentSamples = 0;    // samples of zeros only
  double longestArrivalGapMs = 0;   // longest time between two deliveries
};

// The delivery rate: sample i arrives once the clock has passed the audio of
// samples 0..i-1, so the frames of all but the last sample, over the time
// from the first arrival to the last, is what the clock paced.
// The sound stamps of a capture: write-to-delivery delay of each stamped
// packet in ms, and packets that came twice in a row or never (numbers
// skipped between two stamped ones).
struct SoundTally {
  std::vector<double> delayMs;
  std::size_t repeated = 0;
  std::size_t missing = 0;
};
SoundTally TallySound(const std::vector<SampleRecord>& records);

double RateOverArrivals(const std::vector<std::int64_t>& arrivals, const std::vector<std::uint32_t>& frames);

}  // namespace capture
