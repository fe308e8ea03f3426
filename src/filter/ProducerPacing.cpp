#include "filter/ProducerPacing.h"

#include <algorithm>
#include <cmath>

namespace telvor {
namespace {
// The reader and the streaming thread each hold the arrival lock a few
// instructions at a time.
constexpr DWORD kSpinCount = 4000;
static_assert(ArrivalSpacing::kDrop == StreamPacing::kDrop, "a dropped picture reads the same to the stream");
}  // namespace

ProducerPacing::ProducerPacing(Items* items, PhaseLock::MarginRule rule)
    : items_(items), arrivalLock_(kSpinCount), phase_(rule) {}

void ProducerPacing::Arrived(std::int64_t when) {
  CAutoLock lock(&arrivalLock_);
  newestArrival_ = when;
  arrivalNew_ = true;
  arrivals_[arrivalCount_++ % kRecentArrivals] = when;
  if (arrivalCount_ == 2 * kRecentArrivals) arrivalCount_ = kRecentArrivals;
}

void ProducerPacing::ForgetArrivals() {
  CAutoLock lock(&arrivalLock_);
  arrivalNew_ = false;
  arrivalCount_ = 0;
}

int ProducerPacing::RecentArrivals(std::int64_t* arrivals, int max) const {
  CAutoLock lock(&arrivalLock_);
  const int count = std::min({max, arrivalCount_, kRecentArrivals});
  for (int i = 0; i < count; ++i) arrivals[i] = arrivals_[(arrivalCount_ - 1 - i) % kRecentArrivals];
  return count;
}

bool ProducerPacing::TakeArrival(std::int64_t* arrival) {
  CAutoLock lock(&arrivalLock_);
  *arrival = newestArrival_;
  const bool arrived = arrivalNew_;
  arrivalNew_ = false;
  return arrived;
}

void ProducerPacing::Filled(bool whole, std::int64_t period) {
  filled_ = true;
  whole_ = whole;
  filledPeriod_ = period;
}

void ProducerPacing::Running(bool countFromRun) {
  spacing_.Reset(countFromRun);
  slip_ = 0;
  phase_.Reset(items_->RunPeriod());
}

// The channel is open while the graph is paused, and the graph's start time
// usually lies well after its Run: a producer's items have often shown
// where they arrive by the first deadline. Placed there at once, the
// deadlines need no later move, which would let a frame be overtaken, or
// leave two packets to one deadline (sound is never dropped, so every packet
// after it would go out a packet late for the rest of the stream).
REFERENCE_TIME ProducerPacing::Place(REFERENCE_TIME lateness, REFERENCE_TIME shift) {
  std::int64_t before[kMostPlacingArrivals];
  std::int64_t period = 0;
  const int count = items_->PlacingArrivals(*this, before, kMostPlacingArrivals, &period);
  if (count < 0) return shift;
  const std::int64_t deadline = CounterNow100ns() - lateness;
  for (int i = 0; i < count; ++i) before[i] = deadline - before[i];
  phase_.SetPeriod(period);
  const REFERENCE_TIME placed = phase_.Place(before, count, shift);
  if (placed > shift) items_->PlacedLater(count > 0 && before[0] + (placed - shift) < period);
  return placed;
}

void ProducerPacing::Deadline(REFERENCE_TIME lateness) {
  deadline_ = CounterNow100ns() - lateness;
  whole_ = false;
  filled_ = false;
  if (log_.Enabled()) log_.BeginDeadline(static_cast<double>(lateness) / 10000.0);
}

// The deadlines settle just after the items' arrivals, so each goes out when
// it is new. Silence or a piece of a longer packet says nothing of where
// they sit; a deadline with no new item leaves them where they are.
// The phase lock sees its own deadlines: those without the spacing's slip.
REFERENCE_TIME ProducerPacing::Follow(REFERENCE_TIME shift) {
  if (!filled_) return shift;
  filled_ = false;
  std::int64_t arrival = 0;
  const bool arrived = TakeArrival(&arrival);
  const std::int64_t before = deadline_ - arrival;
  REFERENCE_TIME locked = shift - slip_;
  if (whole_) {
    phase_.SetPeriod(filledPeriod_);
    locked = std::max<REFERENCE_TIME>(phase_.Update(arrived, before - slip_, locked), 0);
  }
  slip_ = spacing_.Slip();
  shift = locked + slip_;
  log_.NoteArrival(arrived ? static_cast<double>(before) / 10000.0 : std::nan(""),
                   static_cast<double>(shift) / 10000.0);
  return shift;
}

// Only the producer's pictures, woken and converted in time, show where the
// deadlines sit against the client's periods.
REFERENCE_TIME ProducerPacing::HoldFor(REFERENCE_TIME now, REFERENCE_TIME period) {
  const bool onTime = whole_ && CounterNow100ns() - deadline_ <= kReadyOnTime;
  return spacing_.HoldFor(now, period, onTime);
}

void ProducerPacing::Sent(REFERENCE_TIME now) { spacing_.Arrived(now); }

void ProducerPacing::Delivered() {
  log_.Mark(PacingLog::kDelivered);
  log_.EndDeadline();
}

}  // namespace telvor
