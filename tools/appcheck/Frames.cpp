#include "Frames.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "CommandLine.h"
#include "Findings.h"
#include "base/Percentile.h"

namespace appcheck {

Recorder::Recorder() : first_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) { frames_.reserve(1024); }

void Recorder::SetLayout(const Layout& layout, LengthRule rule, std::size_t expectedBytes) {
  std::lock_guard<std::mutex> hold(lock_);
  layout_ = layout;
  rule_ = rule;
  expected_ = expectedBytes;
}

Layout Recorder::CurrentLayout() {
  std::lock_guard<std::mutex> hold(lock_);
  return layout_;
}

std::size_t Recorder::ExpectedBytes() {
  std::lock_guard<std::mutex> hold(lock_);
  return expected_;
}

void Recorder::Add(IMediaSample* sample) {
  REFERENCE_TIME start = 0, stop = 0;
  const HRESULT timed = sample->GetTime(&start, &stop);
  // VFW_S_NO_STOP_TIME still carries a start.
  const bool stamped = SUCCEEDED(timed);
  BYTE* data = nullptr;
  const long actual = sample->GetActualDataLength();
  const long size = sample->GetSize();
  if (FAILED(sample->GetPointer(&data))) data = nullptr;
  // A length beyond the buffer must not make us read past it.
  Add(data, std::max(0L, std::min(actual, size)), stamped, start, stop);
}

void Recorder::Add(const std::uint8_t* data, long length, bool stamped, REFERENCE_TIME start, REFERENCE_TIME stop) {
  FrameRecord r;
  r.arrival = Now();
  r.stamped = stamped;
  r.start = start;
  r.stop = stop;
  r.length = length;
  std::lock_guard<std::mutex> hold(lock_);
  const std::size_t bytes = static_cast<std::size_t>(std::max(0L, length));
  r.picture = data && expected_ > 0 && (rule_ == LengthRule::kExactly ? bytes == expected_ : bytes >= expected_);
  if (r.picture) {
    r.look = Inspect(layout_, data, bytes);
    if (keep_) newest_.assign(data, data + bytes);
  }
  frames_.push_back(r);
  SetEvent(first_.Get());
}

void Recorder::CountDropped(Dropped why) {
  std::lock_guard<std::mutex> hold(lock_);
  ++(why == Dropped::kUnstamped ? droppedUnstamped_ : droppedShort_);
  SetEvent(first_.Get());
}

std::size_t Recorder::Pictures() {
  std::lock_guard<std::mutex> hold(lock_);
  return static_cast<std::size_t>(std::count_if(frames_.begin(), frames_.end(), [](const FrameRecord& r) { return r.picture; }));
}

Recorder::Snapshot Recorder::Take() {
  std::lock_guard<std::mutex> hold(lock_);
  Snapshot s;
  s.frames.swap(frames_);
  s.droppedUnstamped = droppedUnstamped_;
  s.droppedShort = droppedShort_;
  s.layout = layout_;
  s.newest.swap(newest_);
  droppedUnstamped_ = droppedShort_ = 0;
  ResetEvent(first_.Get());
  return s;
}

namespace {

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return telvor::NearestRank(values, 50);
}

double Mean(const std::vector<double>& values) {
  double sum = 0;
  for (double v : values) sum += v;
  return values.empty() ? 0 : sum / static_cast<double>(values.size());
}

}  // namespace

bool ReportRun(const Recorder::Snapshot& run, const RunFacts& facts) {
  Findings& out = Out();
  const std::vector<FrameRecord>& frames = run.frames;
  std::uint64_t pictures = 0, stamped = 0, marked = 0, upright = 0, upsideDown = 0, black = 0, backwards = 0;
  std::uint64_t distinct = 0;
  std::uint32_t firstNumber = 0, lastNumber = 0;
  std::vector<double> stampSteps, arrivalSteps;
  const FrameRecord* previousStamped = nullptr;
  const FrameRecord* previousPicture = nullptr;
  const FrameRecord* newestPicture = nullptr;
  long shortest = -1, longest = -1;
  for (const FrameRecord& r : frames) {
    shortest = shortest < 0 ? r.length : std::min(shortest, r.length);
    longest = std::max(longest, r.length);
    if (r.stamped) {
      ++stamped;
      if (previousStamped) stampSteps.push_back(static_cast<double>(r.start - previousStamped->start) / 10000.0);
      previousStamped = &r;
    }
    if (!r.picture) continue;
    ++pictures;
    if (previousPicture) arrivalSteps.push_back(MsBetween(previousPicture->arrival, r.arrival));
    previousPicture = newestPicture = &r;
    if (r.look.black) ++black;
    if (r.look.orientation > 0) ++upright;
    if (r.look.orientation < 0) ++upsideDown;
    if (!r.look.marked) continue;
    if (marked++ == 0) {
      firstNumber = lastNumber = r.look.frame;
      distinct = 1;
    } else if (static_cast<std::int32_t>(r.look.frame - lastNumber) > 0) {
      ++distinct;
      lastNumber = r.look.frame;
    } else if (r.look.frame != lastNumber) {
      ++backwards;
    }
  }
  out.Add("subtype", SubtypeName(run.layout.subtype));
  out.Count("width", static_cast<std::uint64_t>(run.layout.width));
  out.Count("height", static_cast<std::uint64_t>(run.layout.height));
  out.Count("frame_bytes", run.layout.bytes);
  out.Count("samples", frames.size());
  out.Count("samples_shortest", static_cast<std::uint64_t>(std::max(0L, shortest)));
  out.Count("samples_longest", static_cast<std::uint64_t>(std::max(0L, longest)));
  out.Count("dropped_unstamped", run.droppedUnstamped);
  out.Count("dropped_short", run.droppedShort);
  out.Count("pictures", pictures);
  out.Count("stamped", stamped);
  if (!frames.empty()) out.Number("first_sample_ms", MsBetween(facts.running, frames.front().arrival), 1);
  if (facts.fps > 0) out.Number("expected_interval_ms", 1000.0 / facts.fps);
  out.Number("stamp_interval_mean_ms", Mean(stampSteps));
  out.Number("arrival_interval_mean_ms", Mean(arrivalSteps));
  // The rate as the application sees it on a busy machine too, where a late
  // deadline let go doubles one interval and moves the mean.
  out.Number("stamp_interval_median_ms", Median(stampSteps));
  out.Number("arrival_interval_median_ms", Median(arrivalSteps));
  out.Number("arrival_interval_max_ms",
             arrivalSteps.empty() ? 0 : *std::max_element(arrivalSteps.begin(), arrivalSteps.end()));
  if (!frames.empty()) {
    const LARGE_INTEGER now = Now();
    out.Number("window_ms", MsBetween(frames.front().arrival, now), 1);
    out.Number("last_sample_age_ms", MsBetween(frames.back().arrival, now), 1);
  }
  const double arrivalMean = Mean(arrivalSteps);
  out.Number("measured_fps", arrivalMean > 0 ? 1000.0 / arrivalMean : 0, 2);
  out.Count("fed_pictures", marked);
  out.Count("fed_distinct", distinct);
  out.Count("fed_first", firstNumber);
  out.Count("fed_last", lastNumber);
  out.Count("fed_backwards", backwards);
  out.Count("upright", upright);
  out.Count("upside_down", upsideDown);
  out.Count("black", black);
  if (newestPicture) {
    char rgb[48];
    std::snprintf(rgb, sizeof rgb, "%.0f,%.0f,%.0f", newestPicture->look.centre[0], newestPicture->look.centre[1],
                  newestPicture->look.centre[2]);
    out.Add("centre_rgb", rgb);
  }
  if (!facts.png.empty()) {
    std::string error;
    if (SavePng(run.layout, run.newest, facts.png, error)) {
      out.Add("png", facts.png);
    } else {
      out.Add("png_error", error);
    }
    // And the bytes as the application received them, for comparing them
    // exactly with what the producer wrote.
    const std::string raw = facts.png.substr(0, facts.png.size() - 4) + ".raw";
    if (FILE* file = tools::OpenFile(raw, L"wb")) {
      const bool written = std::fwrite(run.newest.data(), 1, run.newest.size(), file) == run.newest.size();
      if (std::fclose(file) == 0 && written) out.Add("raw", raw);
    }
  }
  // What the application's user would notice.
  if (frames.empty()) out.Problem("no sample arrived");
  if (!frames.empty() && pictures == 0) out.Problem("no sample had the picture's length");
  if (facts.needsStamps && run.droppedUnstamped > 0) out.Problem("samples without a time stamp");
  if (upsideDown > 0) out.Problem("pictures upside down");
  if (pictures > 0 && black == pictures) out.Problem("black pictures only");
  if (facts.fps > 0 && arrivalSteps.size() >= 4 && std::fabs(arrivalMean * facts.fps / 1000.0 - 1) > 0.2) {
    out.Problem("pictures not at the frame rate");
  }
  return pictures > 0;
}

}  // namespace appcheck
