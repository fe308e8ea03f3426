// Where a pin's deadlines sit against a producer's arrivals. Only the
// spacing of deliveries is visible to an application, so once the arrivals
// are seen to come at one place in the period, the deadlines move there in
// one go, a little after them: a frame then waits neither for a deadline nor
// at one. After that they follow a drifting producer by small steps, never
// by a jump. Arrivals that keep no place in the period (a producer at
// another rate) give no lock: the deadlines keep their place and each takes
// the newest whole frame.
//
// Times in 100-ns units; phases count from the stamps' grid, where the
// deadlines sit `shift` later. Streaming thread only.
#pragma once

#include <cstdint>

namespace telvor {

// QueryPerformanceCounter in 100-ns units: arrivals and deadlines are
// compared on it.
std::int64_t CounterNow100ns();

class PhaseLock {
 public:
  // The deadline falls this long after the arrivals it locks to (their
  // median): room for the producer's and the reader's wake-ups. With
  // kAdapts it starts at kMargin and, once enough arrivals are seen, becomes
  // what the latest few in a hundred of them need (never less than
  // kMinMargin): a quiet producer costs less latency, a jittery one waits at
  // fewer deadlines. Sound keeps kMargin: a packet that misses its deadline
  // would stay queued and hold every later one back by a packet.
  static constexpr std::int64_t kMargin = 25000;
  static constexpr std::int64_t kMinMargin = 10000;
  enum class MarginRule { kAdapts, kFixed };

  explicit PhaseLock(MarginRule rule = MarginRule::kAdapts) : adapts_(rule == MarginRule::kAdapts) {}
  // Largest move per deadline once locked, well under the jitter budget.
  static constexpr std::int64_t kStep = 2500;
  // Arrivals this close together (per window, but for the earliest and the
  // latest) are one phase.
  static constexpr std::int64_t kTolerance = 20000;
  static constexpr int kWindow = 6;

  // Forgets the producer; `period` is the deadlines' spacing (a new value
  // from SetPeriod forgets it too).
  void Reset(std::int64_t period);
  void SetPeriod(std::int64_t period) {
    if (period != period_) Reset(period);
  }
  // One deadline: the newest frame since the previous deadline arrived
  // `before` ahead of this one (negative: during its wait), or none came
  // (`arrived` false). `shift` is where the deadlines sit now. Returns where
  // they sit from the next one on, between 0 and one period.
  std::int64_t Update(bool arrived, std::int64_t before, std::int64_t shift);
  // At a run's first deadline, before anything is delivered: `before[i]`
  // says how long before it each of the latest arrivals came, newest first.
  // When three or more came about one period apart (a late one among five or more
  // forgiven), returns where the deadlines should sit (locked from here on,
  // as if after a move), so that no later move lets a frame be overtaken;
  // otherwise `shift`.
  std::int64_t Place(const std::int64_t* before, int count, std::int64_t shift);
  bool Locked() const { return locked_; }
  // A full window of arrivals that keep no place in the period: a producer
  // at another rate.
  bool SeesAnotherRate() const { return !locked_ && count_ == kWindow; }

 private:
  // The window's arrivals as one phase: false when they spread too far.
  bool WindowPhase(std::int64_t spread, std::int64_t* phase) const;
  // Notes how much later than the window's phase the newest arrival came
  // and adapts the margin to the recent ones.
  void NoteLateness(std::int64_t phase);

  static constexpr int kHistory = 128;

  std::int64_t period_ = 0;
  std::int64_t phases_[kWindow] = {};
  int count_ = 0;
  int next_ = 0;
  int unsteady_ = 0;  // locked, deadlines in a row whose window scattered
  bool locked_ = false;
  bool adapts_ = true;
  std::int64_t margin_ = kMargin;
  std::int64_t lateness_[kHistory] = {};
  int lateCount_ = 0;
  int lateNext_ = 0;
};

}  // namespace telvor
