// Where a streaming thread's time goes between a clock deadline and the
// sample's delivery. Off unless TELVOR_PACING_LOG names a file when the
// stream starts; then each deadline's steps are timed into a buffer taken
// once at start (nothing is allocated or written per frame), and when the
// stream stops one block is appended to that file: per step p50/p90/p99/max
// and one row per deadline, all in milliseconds. Beside the steps, where the
// producer's newest frame arrived against the deadline (how long before it;
// negative: during the deadline's wait for it) and how far the deadlines sit
// behind the stream's grid, so the log shows the phase being found and held.
//
// Streaming thread only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace telvor {

class PacingLog {
 public:
  enum Step { kBuffer, kFrame, kSlots, kConverted, kDelivered, kStepCount };

  PacingLog() = default;
  PacingLog(const PacingLog&) = delete;
  PacingLog& operator=(const PacingLog&) = delete;

  // Reads TELVOR_PACING_LOG; `owner` names the block in the file.
  void Start(const wchar_t* owner);
  // A deadline came; `lateMs` is how long after its due time the thread woke.
  void BeginDeadline(double lateMs);
  void Mark(Step step);
  // The newest producer frame arrived `beforeMs` before the deadline (NaN:
  // none since the last one); the deadlines run `shiftMs` behind the grid.
  void NoteArrival(double beforeMs, double shiftMs);
  void EndDeadline();
  // Appends the block and lets the buffer go; nothing when off.
  void Stop();
  bool Enabled() const { return !path_.empty(); }

 private:
  struct Row {
    double lateMs;
    double arrivalMs;
    double shiftMs;
    LONGLONG begin;
    LONGLONG steps[kStepCount];
  };
  std::wstring path_;
  std::wstring owner_;
  std::vector<Row> rows_;
  std::size_t count_ = 0;
  bool open_ = false;
  LONGLONG frequency_ = 1;
};

}  // namespace telvor
