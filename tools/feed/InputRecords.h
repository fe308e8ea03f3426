// Fixed-size records (video frames or audio packets) read from a pipe or a
// file on a thread of their own into a few slots taken once, so that the
// pacing loop takes the next one without ever waiting for the writer.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace feed {

class InputRecords {
 public:
  enum class Take { kRecord, kNone, kEnded };

  // Starts reading `input` (not owned) at once; `depth` records may wait.
  InputRecords(HANDLE input, std::size_t recordBytes, std::size_t depth);
  // A reader blocked in a read that never returns is left to the process's end.
  ~InputRecords();
  InputRecords(const InputRecords&) = delete;
  InputRecords& operator=(const InputRecords&) = delete;

  // Copies the oldest record into `out` (recordBytes) and frees its slot.
  // Waits up to `timeoutMs` for one: kNone when none came (a stalled
  // writer), kEnded once the input has ended and every whole record is taken.
  Take Next(std::uint8_t* out, DWORD timeoutMs);
  // Why the input ended, in words; false for a read error, true for its end.
  bool EndedCleanly(std::string& why) const;

 private:
  struct State;
  static void Read(std::shared_ptr<State> state, HANDLE input);
  std::shared_ptr<State> state_;
};

}  // namespace feed
