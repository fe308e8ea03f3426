#include "filter/PhaseLock.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace telvor {

std::int64_t CounterNow100ns() {
  static const std::int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart > 0 ? f.QuadPart : 1;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  // Split so that the product cannot overflow after months of uptime.
  const std::int64_t seconds = now.QuadPart / frequency;
  return seconds * 10000000 + (now.QuadPart % frequency) * 10000000 / frequency;
}

namespace {
std::int64_t Wrap(std::int64_t value, std::int64_t period) {
  const std::int64_t r = value % period;
  return r < 0 ? r + period : r;
}

// A move between two places in the period, the short way round.
std::int64_t ShortWay(std::int64_t move, std::int64_t period) { return Wrap(move + period / 2, period) - period / 2; }
}  // namespace

void PhaseLock::Reset(std::int64_t period) {
  period_ = period;
  count_ = next_ = unsteady_ = 0;
  locked_ = false;
  margin_ = kMargin;
  lateCount_ = lateNext_ = 0;
}

void PhaseLock::NoteLateness(std::int64_t phase) {
  if (!adapts_) return;
  const std::int64_t newest = phases_[(next_ + kWindow - 1) % kWindow];
  lateness_[lateNext_] = ShortWay(newest - phase, period_);
  lateNext_ = (lateNext_ + 1) % kHistory;
  lateCount_ = std::min(lateCount_ + 1, kHistory);
  if (lateCount_ < kHistory / 2) return;
  // The 97th percentile: what is later still waits at its deadline, a few
  // frames in a hundred and by little, which the jitter budget allows.
  std::int64_t sorted[kHistory];
  std::copy(lateness_, lateness_ + lateCount_, sorted);
  const int rank = lateCount_ * 97 / 100;
  std::nth_element(sorted, sorted + rank, sorted + lateCount_);
  constexpr std::int64_t kPad = 2500;
  margin_ = std::clamp<std::int64_t>(sorted[rank] + kPad, kMinMargin, kMargin);
}

// Phases near 0 and near a period are neighbours: the window is read once
// as it is and once with its early half moved a period on. The earliest and
// the latest arrival are left out of the spread: one frame that a busy
// machine held back says nothing about where the others come. Called with a
// full window.
bool PhaseLock::WindowPhase(std::int64_t spread, std::int64_t* phase) const {
  for (int turn = 0; turn < 2; ++turn) {
    std::int64_t sorted[kWindow];
    for (int i = 0; i < kWindow; ++i) {
      sorted[i] = phases_[i] + (turn == 1 && phases_[i] < period_ / 2 ? period_ : 0);
    }
    std::sort(std::begin(sorted), std::end(sorted));
    if (sorted[kWindow - 2] - sorted[1] <= spread) {
      *phase = Wrap(sorted[kWindow / 2], period_);
      return true;
    }
  }
  return false;
}

std::int64_t PhaseLock::Place(const std::int64_t* before, int count, std::int64_t shift) {
  if (period_ <= 0 || locked_ || count < 3) return shift;
  // Each arrival as the newest would be, were they all a period apart; as in
  // the window, the earliest and the latest of five or more say nothing.
  const int n = std::min(count, kWindow);
  std::int64_t evened[kWindow];
  for (int i = 0; i < n; ++i) evened[i] = before[i] - i * period_;
  std::sort(evened, evened + n);
  const int outer = n >= 5 ? 1 : 0;
  // Looser than a held lock: arrivals seen while a busy machine starts the
  // graph scatter more, the steps after it correct a placement a little off,
  // and a producer at another rate spreads far wider (a frame period's
  // difference per arrival). A placement refused here costs a frame when
  // the lock moves later.
  if (evened[n - 1 - outer] - evened[outer] > 4 * kTolerance) return shift;
  locked_ = true;
  count_ = next_ = unsteady_ = 0;
  return Wrap(shift - evened[n / 2] + margin_, period_);
}

std::int64_t PhaseLock::Update(bool arrived, std::int64_t before, std::int64_t shift) {
  if (period_ <= 0) return shift;
  shift = std::clamp<std::int64_t>(shift, 0, period_);
  // A producer that pauses or stops leaves the deadlines where they are.
  if (!arrived) return shift;
  phases_[next_] = Wrap(shift - before, period_);
  next_ = (next_ + 1) % kWindow;
  count_ = std::min(count_ + 1, kWindow);
  if (count_ < kWindow) return shift;
  std::int64_t phase = 0;
  if (!locked_) {
    if (!WindowPhase(kTolerance, &phase)) return shift;
    locked_ = true;
    // Deadlines already about there stay about there: the jump the long way
    // round the period would let a frame be overtaken.
    const std::int64_t error = ShortWay(Wrap(phase + margin_, period_) - shift, period_);
    if (std::abs(error) <= kMargin) return std::clamp<std::int64_t>(shift + error, 0, period_);
    return Wrap(phase + margin_, period_);
  }
  // Arrivals that scatter hold the deadlines where they are: for a window's
  // length that is a producer changing its phase (followed by steps once the
  // window is steady again), for longer its rate going its own way.
  if (!WindowPhase(2 * kTolerance, &phase)) {
    if (++unsteady_ >= 2 * kWindow) locked_ = false;
    return shift;
  }
  unsteady_ = 0;
  NoteLateness(phase);
  // The short way round: a target just past the period's end is just after
  // its start, not a whole period back (walking there would make frames
  // wait ever longer for a hundred periods and then overtake one). At an end
  // of the range the deadlines stay (a frame up to a few ms late is still
  // waited for), unless the producer goes on past it by more than twice the
  // margin, as one at a slightly other rate does: that costs one frame
  // (dropped or shown twice) whatever is done, so one move does it.
  const std::int64_t target = Wrap(phase + margin_, period_);
  const std::int64_t error = ShortWay(target - shift, period_);
  if (error > -kStep / 2 && error < kStep / 2) return shift;  // the producer's own jitter
  if (shift + error < -2 * kMargin || shift + error > period_ + 2 * kMargin) return target;
  return std::clamp<std::int64_t>(shift + std::clamp(error, -kStep, kStep), 0, period_);
}

}  // namespace telvor
