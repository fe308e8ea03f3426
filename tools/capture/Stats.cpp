#include "Stats.h"

#include <algorithm>
#include <cmath>

#include "base/Percentile.h"

namespace capture {

using telvor::NearestRank;

Spread Summarize(std::vector<double> values) {
  Spread spread;
  spread.count = values.size();
  if (values.empty()) return spread;
  std::sort(values.begin(), values.end());
  spread.min = values.front();
  spread.p50 = NearestRank(values, 50);
  spread.p99 = NearestRank(values, 99);
  spread.max = values.back();
  return spread;
}

Regularity CheckSampleTimes(const std::vector<SampleTimes>& times, std::int64_t period) {
  Regularity r;
  bool haveFirst = false;
  std::int64_t origin = 0;
  std::int64_t previousStop = 0;
  for (const SampleTimes& t : times) {
    if (!t.valid) continue;
    if (!haveFirst) {
      origin = t.start;
      haveFirst = true;
    } else if (t.start != previousStop) {
      ++r.gaps;
    }
    // A deadline the camera let go leaves a gap, not a shifted grid: the
    // distance is to the nearest grid point, whichever sample it is.
    const std::int64_t phase = period > 0 ? ((t.start - origin) % period + period) % period : 0;
    const std::int64_t deviation = std::min(phase, period - phase);
    if (deviation != 0) ++r.offGrid;
    r.maxDeviation = std::max(r.maxDeviation, deviation);
    if (t.stop - t.start != period) ++r.wrongLength;
    previousStop = t.stop;
    ++r.checked;
  }
  return r;
}

FrameTally TallyFrames(const std::vector<DeliveredFrame>& frames) {
  FrameTally tally;
  bool any = false;
  std::uint32_t previous = 0;
  for (const DeliveredFrame& f : frames) {
    if (!f.marked) {
      ++tally.unmarked;
      continue;
    }
    ++tally.marked;
    if (!any) {
      any = true;
      tally.first = tally.last = previous = f.frame;
      tally.distinct = 1;
      continue;
    }
    // Frame numbers are the low 32 bits of a counter: compare by difference.
    const std::int32_t ahead = static_cast<std::int32_t>(f.frame - tally.last);
    if (f.frame == previous) {
      ++tally.repeated;
    } else if (ahead > 0) {
      ++tally.distinct;
      tally.dropped += static_cast<std::size_t>(ahead) - 1;
      tally.last = f.frame;
    } else {
      ++tally.backwards;
    }
    previous = f.frame;
  }
  return tally;
}

std::vector<double> ArrivalJitterMs(const std::vector<std::int64_t>& arrivals, std::int64_t period) {
  std::vector<double> jitter;
  if (arrivals.size() < 2) return jitter;
  jitter.reserve(arrivals.size() - 1);
  for (std::size_t i = 1; i < arrivals.size(); ++i) {
    const std::int64_t interval = arrivals[i] - arrivals[i - 1];
    jitter.push_back(static_cast<double>(std::llabs(interval - period)) / 10000.0);
  }
  return jitter;
}

StreamOffsets OffsetsFromStreamTime(const std::vector<SampleRecord>& records) {
  StreamOffsets offsets;
  offsets.ms.reserve(records.size());
  for (const SampleRecord& r : records) {
    if (!r.running) {
      ++offsets.beforeRun;
    } else if (r.times.valid) {
      offsets.ms.push_back(static_cast<double>(r.streamArrival - r.times.start) / 10000.0);
    }
  }
  return offsets;
}

bool FirstPictureDelayMs(const std::vector<SampleRecord>& records, double& ms) {
  for (const SampleRecord& r : records) {
    if (!r.band.marked) continue;
    if (!r.band.stamped) return false;
    ms = static_cast<double>(r.latency) / 10000.0;
    return true;
  }
  return false;
}

SoundTally TallySound(const std::vector<SampleRecord>& records) {
  SoundTally tally;
  bool any = false;
  std::uint32_t previous = 0;
  for (const SampleRecord& r : records) {
    if (!r.soundStamped) continue;
    tally.delayMs.push_back(static_cast<double>(r.soundDelay) / 1e4);
    const std::uint32_t step = r.soundPacket - previous;  // numbers wrap with the producer's
    if (any && step == 0) ++tally.repeated;
    if (any && step > 1 && step < 0x80000000u) tally.missing += step - 1;
    any = true;
    previous = r.soundPacket;
  }
  return tally;
}

double RateOverArrivals(const std::vector<std::int64_t>& arrivals, const std::vector<std::uint32_t>& frames) {
  const std::size_t n = std::min(arrivals.size(), frames.size());
  if (n < 2 || arrivals[n - 1] <= arrivals[0]) return 0;
  std::uint64_t paced = 0;
  for (std::size_t i = 0; i + 1 < n; ++i) paced += frames[i];
  return static_cast<double>(paced) * 1e7 / static_cast<double>(arrivals[n - 1] - arrivals[0]);
}

}  // namespace capture
