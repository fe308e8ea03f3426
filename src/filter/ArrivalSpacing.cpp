#include "filter/ArrivalSpacing.h"

#include <algorithm>

namespace telvor {
namespace {

// The client reads the same clock a moment after us, so its reading of an
// earlier picture, and of the first one its count starts from, may be a
// little later than ours.
constexpr REFERENCE_TIME kMargin = 10000;
// Longer holds would only move the picture onto the next deadline's time.
constexpr REFERENCE_TIME kLongestHold = 80000;
// A picture on time that straddles an edge needs at most both margins and
// the deadlines' drift since the picture before.
constexpr REFERENCE_TIME kLongestSlipStep = 2 * kMargin + 15000;
// Each slip goes this much past the edge, so that the timers' wake-ups and
// the producer's drift take a while to bring the pictures back onto it.
constexpr REFERENCE_TIME kSlipRoom = 10000;

REFERENCE_TIME FloorDiv(REFERENCE_TIME value, REFERENCE_TIME by) {
  const REFERENCE_TIME quotient = value / by;
  return quotient * by > value ? quotient - 1 : quotient;
}

// The period a client counting from `origin` gives an arrival at `when`.
REFERENCE_TIME PeriodOf(REFERENCE_TIME when, REFERENCE_TIME origin, REFERENCE_TIME period) {
  return FloorDiv(when - origin + period / 2, period);
}

// The earliest time whose period, counted from `origin` (or up to kMargin
// later), is past the one the last arrival may have been given.
REFERENCE_TIME NextPeriodStart(REFERENCE_TIME last, REFERENCE_TIME origin, REFERENCE_TIME period,
                               REFERENCE_TIME origin_margin) {
  const REFERENCE_TIME taken = PeriodOf(last + kMargin, origin, period);
  return origin + origin_margin + taken * period + period / 2;
}

}  // namespace

REFERENCE_TIME ArrivalSpacing::HoldFor(REFERENCE_TIME now, REFERENCE_TIME period, bool onTime) {
  if (!arrived_ || period <= 0) return 0;
  // Counted from the first picture and, where a client may, from Run (stream time 0).
  REFERENCE_TIME ready = NextPeriodStart(last_, first_, period, kMargin);
  if (countFromRun_) ready = std::max(ready, NextPeriodStart(last_, 0, period, 0));
  const REFERENCE_TIME hold = std::max<REFERENCE_TIME>(ready - now, 0);
  if (hold > std::min(kLongestHold, period / 4)) {
    previousOnTime_ = false;
    return kDrop;
  }
  // A picture after a late one is held for that one's sake. Where a quarter
  // period leaves room for two such holds (up to about 35 fps), holds at the
  // edge stay far from a drop and the deadlines are better left alone.
  const bool dropNear = period / 4 < 2 * kLongestSlipStep;
  const bool edge = dropNear && onTime && previousOnTime_ && hold > 0 && hold <= kLongestSlipStep;
  previousOnTime_ = onTime;
  if (!edge) {
    if (sinceEdge_ < kNoEdge) ++sinceEdge_;
    return hold;
  }
  if (sinceEdge_ <= kEdgeWindow) {
    // Past the period's middle the pictures would only near the next edge.
    slip_ = std::min(slip_ + hold + kSlipRoom, period / 2 - kMargin);
    sinceEdge_ = kNoEdge;
  } else {
    sinceEdge_ = 0;
  }
  return hold;
}

void ArrivalSpacing::Arrived(REFERENCE_TIME when) {
  if (!arrived_) first_ = when;
  arrived_ = true;
  last_ = when;
}

}  // namespace telvor
