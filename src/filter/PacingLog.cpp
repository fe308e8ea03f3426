#include "filter/PacingLog.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
#include <iterator>
#include <memory>
#include <new>

#include "base/Percentile.h"

namespace telvor {
namespace {

// 20 minutes at 60 frames a second; a longer stream keeps its first deadlines.
constexpr std::size_t kMaxRows = 72000;
constexpr const char* kStepNames[PacingLog::kStepCount] = {"buffer", "frame", "slots", "convert", "deliver"};

LONGLONG Counter() {
  LARGE_INTEGER value;
  QueryPerformanceCounter(&value);
  return value.QuadPart;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

void PacingLog::Start(const wchar_t* owner) {
  path_.clear();
  rows_.clear();
  count_ = 0;
  open_ = false;
  std::wstring path;
  try {
    // Any length: a log in a deep folder is still a log.
    const DWORD needed = GetEnvironmentVariableW(L"TELVOR_PACING_LOG", nullptr, 0);
    if (needed <= 1) return;
    path.resize(needed);
    const DWORD length = GetEnvironmentVariableW(L"TELVOR_PACING_LOG", path.data(), needed);
    if (length == 0 || length >= needed) return;
    path.resize(length);
    rows_.resize(kMaxRows);
  } catch (const std::bad_alloc&) {
    return;  // a diagnostic never costs the stream
  }
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  frequency_ = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
  path_ = std::move(path);
  owner_ = owner ? owner : L"";
}

void PacingLog::BeginDeadline(double lateMs) {
  open_ = Enabled() && count_ < rows_.size();
  if (!open_) return;
  Row& row = rows_[count_];
  row.lateMs = lateMs;
  row.arrivalMs = std::nan("");
  row.shiftMs = 0;
  row.begin = Counter();
  std::fill(std::begin(row.steps), std::end(row.steps), row.begin);
}

void PacingLog::Mark(Step step) {
  if (open_) rows_[count_].steps[step] = Counter();
}

void PacingLog::NoteArrival(double beforeMs, double shiftMs) {
  if (!open_) return;
  rows_[count_].arrivalMs = beforeMs;
  rows_[count_].shiftMs = shiftMs;
}

void PacingLog::EndDeadline() {
  if (!open_) return;
  // A step that was never reached (a failed buffer) takes the time of the one before.
  Row& row = rows_[count_];
  for (int step = 1; step < kStepCount; ++step) row.steps[step] = std::max(row.steps[step], row.steps[step - 1]);
  ++count_;
  open_ = false;
}

void PacingLog::Stop() {
  if (!Enabled()) return;
  std::unique_ptr<std::FILE, FileCloser> file(_wfopen(path_.c_str(), L"a"));
  if (file) {
    const double toMs = 1000.0 / static_cast<double>(frequency_);
    // late, the steps, whole, arrival, shift
    std::vector<std::vector<double>> columns(kStepCount + 4);
    for (std::size_t i = 0; i < count_; ++i) {
      const Row& row = rows_[i];
      columns[0].push_back(row.lateMs);
      LONGLONG previous = row.begin;
      for (int step = 0; step < kStepCount; ++step) {
        columns[step + 1].push_back(static_cast<double>(row.steps[step] - previous) * toMs);
        previous = row.steps[step];
      }
      columns[kStepCount + 1].push_back(static_cast<double>(row.steps[kStepCount - 1] - row.begin) * toMs);
      columns[kStepCount + 2].push_back(row.arrivalMs);
      columns[kStepCount + 3].push_back(row.shiftMs);
    }
    std::fprintf(file.get(), "pacing of %ls: %zu deadlines, ms\nstep p50 p90 p99 max\n", owner_.c_str(), count_);
    for (std::size_t c = 0; c < columns.size(); ++c) {
      const char* name = c == 0                    ? "late"
                         : c <= kStepCount         ? kStepNames[c - 1]
                         : c == kStepCount + 1     ? "whole"
                         : c == kStepCount + 2     ? "arrival"
                                                   : "shift";
      std::vector<double> sorted;
      for (double value : columns[c]) {
        if (!std::isnan(value)) sorted.push_back(value);  // deadlines without a new frame
      }
      std::sort(sorted.begin(), sorted.end());
      std::fprintf(file.get(), "%s %.3f %.3f %.3f %.3f\n", name, NearestRank(sorted, 50), NearestRank(sorted, 90),
                   NearestRank(sorted, 99), NearestRank(sorted, 100));
    }
    std::fprintf(file.get(), "late buffer frame slots convert deliver arrival shift\n");
    for (std::size_t i = 0; i < count_; ++i) {
      for (int c = 0; c <= kStepCount; ++c) std::fprintf(file.get(), c ? " %.3f" : "%.3f", columns[c][i]);
      const double arrival = columns[kStepCount + 2][i];
      if (std::isnan(arrival)) {
        std::fprintf(file.get(), " - %.3f\n", columns[kStepCount + 3][i]);
      } else {
        std::fprintf(file.get(), " %.3f %.3f\n", arrival, columns[kStepCount + 3][i]);
      }
    }
  }
  path_.clear();
  rows_ = std::vector<Row>();
  count_ = 0;
}

}  // namespace telvor
