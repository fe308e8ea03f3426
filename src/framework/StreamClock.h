// Deadlines for a pin's streaming thread: one auto-reset event that the
// clock signals at base time + stream time, re-armed once per sample.
//
// The clock is the graph's reference clock when it has one (the times the
// graph hands to Run are counted on it), else the system reference clock,
// which is what graphs run on by default. When neither can be had (a stripped-down system, or COM refusing
// the thread), the pin logs once and paces itself with a thread-pool timer
// driven by the performance counter instead: a capture application then
// still receives samples at the right rate rather than an aborted stream.
//
// Start, AdviseAt and Stop belong to the streaming thread; Stop is also safe
// from the owner's destructor once that thread is gone.
#pragma once

#include <windows.h>
#include <strmif.h>

#include "framework/ComPtr.h"
#include "base/Handle.h"

namespace telvor {

class StreamClock {
 public:
  enum class Source { kSystemClock, kFallbackTimer };

  // unit, function and owner name the error line written when the system
  // clock is missing.
  StreamClock(const wchar_t* unit, const wchar_t* function, const void* owner);
  ~StreamClock();
  StreamClock(const StreamClock&) = delete;
  StreamClock& operator=(const StreamClock&) = delete;

  // Obtains the clock (`graphClock` when given), creates the event, takes
  // the base time and advises base + 0, so the first deadline is due at
  // once. A previous run is ended first. Fails only when no event or timer
  // can be created at all.
  HRESULT Start(Source preferred = Source::kSystemClock, IReferenceClock* graphClock = nullptr);
  // Counts stream times from `baseTime` of the clock from now on.
  void Rebase(REFERENCE_TIME baseTime) { baseTime_ = baseTime; }
  // Withdraws the pending deadline, signalled or not.
  void Cancel();
  // Asks for the event at base time + streamTime, replacing the last advise.
  HRESULT AdviseAt(REFERENCE_TIME streamTime);
  // Cancels the last advise, releases the clock and closes the event.
  void Stop();

  HANDLE Event() const { return event_.Get(); }
  Source ActiveSource() const { return source_; }
  REFERENCE_TIME BaseTime() const { return baseTime_; }
  // Current time of whichever clock is in use, 100 ns units.
  REFERENCE_TIME Now() const;

 private:
  bool StartSystemClock();
  bool StartFallbackTimer();
  static void CALLBACK OnTimer(PTP_CALLBACK_INSTANCE instance, void* context, PTP_TIMER timer);

  const wchar_t* unit_;
  const wchar_t* function_;
  const void* owner_;

  Source source_ = Source::kSystemClock;
  ComPtr<IReferenceClock> clock_;
  DWORD_PTR cookie_ = 0;
  UniqueHandle event_;
  PTP_TIMER timer_ = nullptr;
  REFERENCE_TIME baseTime_ = 0;
  // COM is initialised for the clock on the thread that called Start; only
  // that thread may balance it.
  bool comInitialized_ = false;
  DWORD comThread_ = 0;
};

}  // namespace telvor
