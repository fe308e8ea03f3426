// Turns a capture's records into the figures telvor-capture prints: a
// key=value line per figure (stable keys for scripts) and one summary line.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Stats.h"

namespace capture {

using KeyValues = std::vector<std::pair<std::string, std::string>>;

struct CaptureRun {
  std::int64_t window = 0;    // measuring window, 100-ns units
  std::int64_t period = 0;    // video frame duration, 100-ns units
  std::int64_t cpuTime = 0;   // process CPU time over the window, 100-ns units
  std::uint32_t blockAlign = 4;        // audio bytes per sample frame
  std::uint32_t samplesPerSecond = 0;  // audio rate of the connection
};

// Wake-ups of a clock-only run: the jitter_* figures with nothing but the
// system clock and the scheduler between two wake-ups.
KeyValues ClockFigures(const std::vector<std::int64_t>& wakeups, std::int64_t period);
KeyValues VideoFigures(const std::vector<SampleRecord>& records, const CaptureRun& run);
KeyValues AudioFigures(const std::vector<SampleRecord>& records, const CaptureRun& run);

// Value of `key`, or an empty string.
std::string Figure(const KeyValues& figures, const std::string& key);

std::string VideoSummary(const KeyValues& figures);
std::string AudioSummary(const KeyValues& figures);

}  // namespace capture
