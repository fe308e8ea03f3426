// When a pin's samples go out against its producer's writes; one per pin,
// the same for pictures and sound. The channel's reader tells it when each
// item (frame, packet) arrived; the pin's stream asks it where the deadlines
// sit (StreamPacing): at each run the phase lock forgets the producer, at
// the run's first deadline the deadlines are placed just after the recent
// arrivals, and after each sample that carried a whole item they follow the
// newest arrival against that deadline (PhaseLock). Pictures are also kept a
// period apart at the client (ArrivalSpacing), and their steps timed
// (PacingLog, off unless asked for).
//
// Threads: Arrived on the channel's reader (holding the producer's mutex),
// ForgetArrivals on any thread; the arrival lock guards the arrivals alone,
// is taken last and never held while calling out. Everything else is the
// streaming thread's.
#pragma once

#include <cstdint>

#include "base/Handle.h"
#include "filter/ArrivalSpacing.h"
#include "filter/PacingLog.h"
#include "filter/PhaseLock.h"
#include "framework/StreamPacing.h"

namespace telvor {

class ProducerPacing final : public StreamPacing {
 public:
  static constexpr int kRecentArrivals = 6;
  // Room for the arrivals a pin places its deadlines by.
  static constexpr int kMostPlacingArrivals = 16;

  // What the pacing asks of its pin, on the streaming thread.
  class Items {
   public:
    // The deadlines' spacing as a run starts; 0 when the items show it.
    virtual std::int64_t RunPeriod() = 0;
    // At a run's first deadline: when the items to place the deadlines by
    // arrived (CounterNow100ns), newest first, at most `max`; returns how
    // many, with their spacing in *period, or -1 when they cannot place them.
    virtual int PlacingArrivals(const ProducerPacing& pacing, std::int64_t* arrivals, int max,
                                std::int64_t* period) = 0;
    // The deadlines were just placed later than they sat; `newestDue`: the
    // newest item arrived less than a period before the first of them, so
    // it is the one that deadline shows.
    virtual void PlacedLater(bool newestDue) {}

   protected:
    ~Items() = default;
  };

  ProducerPacing(Items* items, PhaseLock::MarginRule rule);
  ProducerPacing(const ProducerPacing&) = delete;
  ProducerPacing& operator=(const ProducerPacing&) = delete;

  // --- the channel's reader ---
  // An item was queued at `when` (CounterNow100ns).
  void Arrived(std::int64_t when);

  // --- any thread ---
  // A new stream, or the channel gone: no arrival seen.
  void ForgetArrivals();
  // When the latest items arrived, newest first, at most `max` of the last
  // kRecentArrivals; returns how many.
  int RecentArrivals(std::int64_t* arrivals, int max) const;

  // --- the streaming thread ---
  // The sample just filled is followed: `whole` when it carried a whole item
  // of the producer's, its items then `period` apart; otherwise the newest
  // arrival is passed over. A sample not reported leaves both alone.
  void Filled(bool whole, std::int64_t period);
  // A full window of arrivals keeping no place in the period.
  bool SeesAnotherRate() const { return phase_.SeesAnotherRate(); }
  PacingLog& Log() { return log_; }

  // --- StreamPacing ---
  void Running(bool countFromRun) override;
  REFERENCE_TIME Place(REFERENCE_TIME lateness, REFERENCE_TIME shift) override;
  void Deadline(REFERENCE_TIME lateness) override;
  REFERENCE_TIME Follow(REFERENCE_TIME shift) override;
  REFERENCE_TIME HoldFor(REFERENCE_TIME now, REFERENCE_TIME period) override;
  void Sent(REFERENCE_TIME now) override;
  void Delivered() override;

 private:
  // When the newest item arrived, if one did since the last call.
  bool TakeArrival(std::int64_t* arrival);

  Items* const items_;

  mutable CCritSec arrivalLock_;  // guards the arrivals below
  std::int64_t newestArrival_ = 0;
  bool arrivalNew_ = false;
  std::int64_t arrivals_[kRecentArrivals] = {};  // a ring, arrivalCount_ of them in order
  int arrivalCount_ = 0;

  PhaseLock phase_;
  ArrivalSpacing spacing_;
  PacingLog log_;
  // A picture ready later than this after its deadline may have been held
  // up by a busy machine (a 1080p conversion takes well under a millisecond).
  static constexpr REFERENCE_TIME kReadyOnTime = 20000;
  std::int64_t deadline_ = 0;  // the current deadline, on CounterNow100ns
  REFERENCE_TIME slip_ = 0;    // the spacing's slip in the deadlines handed out
  bool filled_ = false;        // Filled since the deadline
  bool whole_ = false;
  std::int64_t filledPeriod_ = 0;
};

}  // namespace telvor
