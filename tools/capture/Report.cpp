#include "Report.h"

#include <cmath>
#include <cstdio>

namespace capture {
namespace {

std::string Number(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Count(std::uint64_t value) { return std::to_string(value); }

void AddSpread(KeyValues& out, const std::string& key, const Spread& spread) {
  out.emplace_back(key + "_count", Count(spread.count));
  out.emplace_back(key + "_p50_ms", Number(spread.p50, 3));
  out.emplace_back(key + "_p99_ms", Number(spread.p99, 3));
  out.emplace_back(key + "_max_ms", Number(spread.max, 3));
}

// `kind`_offset_* and `kind`_before_run; the minimum too, since a negative
// one (a stamp after its arrival) is the fault worth seeing.
void AddStreamOffsets(KeyValues& out, const std::string& kind, const std::vector<SampleRecord>& records) {
  const StreamOffsets offsets = OffsetsFromStreamTime(records);
  const Spread spread = Summarize(offsets.ms);
  AddSpread(out, kind + "_offset", spread);
  out.emplace_back(kind + "_offset_min_ms", Number(spread.min, 3));
  out.emplace_back(kind + "_before_run", Count(offsets.beforeRun));
}

std::string OffsetSummary(const KeyValues& f, const std::string& kind) {
  return "; stamps trail arrival p50/p99/max " + Figure(f, kind + "_offset_p50_ms") + "/" +
         Figure(f, kind + "_offset_p99_ms") + "/" + Figure(f, kind + "_offset_max_ms") + " ms, " +
         Figure(f, kind + "_before_run") + " before Run";
}

std::vector<std::int64_t> Arrivals(const std::vector<SampleRecord>& records) {
  std::vector<std::int64_t> arrivals;
  arrivals.reserve(records.size());
  for (const SampleRecord& r : records) arrivals.push_back(r.arrival);
  return arrivals;
}

// Latency of each producer frame when it is first shown: a frame shown again
// has aged by a period more, which the repeat count already tells.
std::vector<double> FirstShowingLatencyMs(const std::vector<SampleRecord>& records) {
  std::vector<double> latency;
  bool any = false;
  std::uint32_t newest = 0;
  for (const SampleRecord& r : records) {
    if (!r.band.marked) continue;
    const bool isNew = !any || static_cast<std::int32_t>(r.band.frame - newest) > 0;
    if (!isNew) continue;
    any = true;
    newest = r.band.frame;
    if (r.band.stamped) latency.push_back(static_cast<double>(r.latency) / 10000.0);
  }
  return latency;
}

double CpuMsPer(std::int64_t cpuTime, std::size_t count) {
  return count == 0 ? 0 : static_cast<double>(cpuTime) / 10000.0 / static_cast<double>(count);
}

}  // namespace

KeyValues VideoFigures(const std::vector<SampleRecord>& records, const CaptureRun& run) {
  KeyValues out;
  const double seconds = static_cast<double>(run.window) / 1e7;
  out.emplace_back("window_s", Number(seconds, 3));
  out.emplace_back("period_100ns", Count(static_cast<std::uint64_t>(run.period)));
  out.emplace_back("samples", Count(records.size()));
  out.emplace_back("samples_expected",
                   Count(run.period > 0 ? static_cast<std::uint64_t>((run.window + run.period - 1) / run.period) : 0));
  std::vector<SampleTimes> times;
  std::vector<DeliveredFrame> frames;
  for (const SampleRecord& r : records) {
    times.push_back(r.times);
    frames.push_back({r.band.marked, r.band.frame});
  }
  const Regularity regular = CheckSampleTimes(times, run.period);
  out.emplace_back("times_checked", Count(regular.checked));
  out.emplace_back("times_off_grid", Count(regular.offGrid));
  out.emplace_back("times_max_deviation_100ns", Count(static_cast<std::uint64_t>(regular.maxDeviation)));
  out.emplace_back("times_wrong_length", Count(regular.wrongLength));
  out.emplace_back("times_gaps", Count(regular.gaps));
  const FrameTally tally = TallyFrames(frames);
  out.emplace_back("frames_marked", Count(tally.marked));
  out.emplace_back("frames_unmarked", Count(tally.unmarked));
  out.emplace_back("frames_distinct", Count(tally.distinct));
  out.emplace_back("frames_repeated", Count(tally.repeated));
  out.emplace_back("frames_dropped", Count(tally.dropped));
  out.emplace_back("frames_backwards", Count(tally.backwards));
  out.emplace_back("frames_first", Count(tally.first));
  out.emplace_back("frames_written", Count(tally.Written()));
  const double share = tally.Written() ? 100.0 * static_cast<double>(tally.distinct) / tally.Written() : 0;
  out.emplace_back("frames_delivered_pct", Number(share, 2));
  AddSpread(out, "jitter", Summarize(ArrivalJitterMs(Arrivals(records), run.period)));
  AddSpread(out, "latency", Summarize(FirstShowingLatencyMs(records)));
  double firstDelay = 0;
  // Empty when no producer picture with a write time came first.
  out.emplace_back("video_first_frame_delay_ms",
                   FirstPictureDelayMs(records, firstDelay) ? Number(firstDelay, 3) : std::string());
  AddStreamOffsets(out, "video", records);
  out.emplace_back("cpu_ms_per_frame", Number(CpuMsPer(run.cpuTime, records.size()), 3));
  return out;
}

KeyValues ClockFigures(const std::vector<std::int64_t>& wakeups, std::int64_t period) {
  KeyValues out;
  out.emplace_back("period_100ns", Count(static_cast<std::uint64_t>(period)));
  out.emplace_back("wakeups", Count(wakeups.size()));
  AddSpread(out, "jitter", Summarize(ArrivalJitterMs(wakeups, period)));
  return out;
}

KeyValues AudioFigures(const std::vector<SampleRecord>& records, const CaptureRun& run) {
  KeyValues out;
  const double seconds = static_cast<double>(run.window) / 1e7;
  out.emplace_back("window_s", Number(seconds, 3));
  out.emplace_back("samples", Count(records.size()));
  std::vector<std::uint32_t> frames;
  std::vector<SampleTimes> times;
  std::uint64_t total = 0;
  std::size_t silent = 0;
  double longestGap = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const SampleRecord& r = records[i];
    const std::uint32_t n = r.length > 0 ? static_cast<std::uint32_t>(r.length) / run.blockAlign : 0;
    frames.push_back(n);
    times.push_back(r.times);
    total += n;
    if (r.silent) ++silent;
    if (i > 0) longestGap = std::fmax(longestGap, static_cast<double>(r.arrival - records[i - 1].arrival) / 1e4);
  }
  const double rate = RateOverArrivals(Arrivals(records), frames);
  out.emplace_back("audio_frames", Count(total));
  out.emplace_back("rate_per_s", Number(rate, 2));
  const double error = run.samplesPerSecond ? 100.0 * (rate - run.samplesPerSecond) / run.samplesPerSecond : 0;
  out.emplace_back("rate_error_pct", Number(error, 4));
  out.emplace_back("silent_samples", Count(silent));
  // A sample whose start is not the previous stop is a hole (or overlap) in the stamps.
  out.emplace_back("times_gaps", Count(CheckSampleTimes(times, 0).gaps));
  out.emplace_back("longest_arrival_gap_ms", Number(longestGap, 3));
  AddStreamOffsets(out, "audio", records);
  // With telvor-feed --stamp: how old each packet's sound was when delivered.
  const SoundTally sound = TallySound(records);
  AddSpread(out, "sound_delay", Summarize(sound.delayMs));
  out.emplace_back("sound_packets_repeated", Count(sound.repeated));
  out.emplace_back("sound_packets_missing", Count(sound.missing));
  out.emplace_back("cpu_ms_per_sample", Number(CpuMsPer(run.cpuTime, records.size()), 3));
  return out;
}

std::string Figure(const KeyValues& figures, const std::string& key) {
  for (const auto& [k, v] : figures) {
    if (k == key) return v;
  }
  return {};
}

std::string VideoSummary(const KeyValues& f) {
  std::string s = f.empty() ? "" : Figure(f, "samples") + "/" + Figure(f, "samples_expected") + " samples in " +
                                       Figure(f, "window_s") + " s; frames " + Figure(f, "frames_distinct") +
                                       " new, " + Figure(f, "frames_repeated") + " repeated, " +
                                       Figure(f, "frames_dropped") + " dropped (" + Figure(f, "frames_delivered_pct") +
                                       "% of written); jitter p50/p99/max " + Figure(f, "jitter_p50_ms") + "/" +
                                       Figure(f, "jitter_p99_ms") + "/" + Figure(f, "jitter_max_ms") + " ms";
  if (Figure(f, "latency_count") != "0") {
    s += "; latency p50/p99/max " + Figure(f, "latency_p50_ms") + "/" + Figure(f, "latency_p99_ms") + "/" +
         Figure(f, "latency_max_ms") + " ms";
  }
  if (!Figure(f, "video_first_frame_delay_ms").empty()) {
    s += "; first picture " + Figure(f, "video_first_frame_delay_ms") + " ms after its write";
  }
  return s + OffsetSummary(f, "video") + "; cpu " + Figure(f, "cpu_ms_per_frame") + " ms/frame";
}

std::string AudioSummary(const KeyValues& f) {
  return Figure(f, "samples") + " samples, " + Figure(f, "audio_frames") + " sample frames in " +
         Figure(f, "window_s") + " s; " + Figure(f, "rate_per_s") + "/s (" + Figure(f, "rate_error_pct") + "%); " +
         Figure(f, "silent_samples") + " silent; " + Figure(f, "times_gaps") + " gaps in the stamps; longest wait " +
         Figure(f, "longest_arrival_gap_ms") + " ms" +
         (Figure(f, "sound_delay_count") == "0"
              ? std::string()
              : "; sound delay p50/p99/max " + Figure(f, "sound_delay_p50_ms") + "/" + Figure(f, "sound_delay_p99_ms") +
                    "/" + Figure(f, "sound_delay_max_ms") + " ms, " + Figure(f, "sound_packets_repeated") +
                    " packets repeated, " + Figure(f, "sound_packets_missing") + " missing") +
         OffsetSummary(f, "audio");
}

}  // namespace capture
