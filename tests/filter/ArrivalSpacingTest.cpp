// When a picture ready at a given time goes out, against a client that rounds
// arrivals to the frame rate counting from the first picture or from Run.
#include <gtest/gtest.h>

#include <string>

#include "filter/ArrivalSpacing.h"

namespace telvor {
namespace {

constexpr REFERENCE_TIME kPeriod = 333333, kMs = 10000;

TEST(ArrivalSpacing, OnTimeGoesAtOnceAStraddlerIsHeldPastTheEdgeALateOneDropped) {
  struct Row {
    const char* what;
    REFERENCE_TIME first, last, now, hold, holdCountedFromTheFirstOnly;
  };
  const Row rows[] = {
      {"a period after the one before", 0, 0, kPeriod, 0, 0},
      {"a period after a late first picture", 10 * kMs, 10 * kMs, kPeriod, 0, 0},
      {"just before the edge the one before may have crossed", 0, kPeriod / 2 + kMs, 3 * kPeriod / 2 - kMs, 2 * kMs,
       2 * kMs},
      {"on time after one held up past its period's middle", 0, 2 * kPeriod + 7 * kPeriod / 10, 3 * kPeriod,
       ArrivalSpacing::kDrop, ArrivalSpacing::kDrop},
      {"after a first picture that set a later count", 15 * kMs, 2 * kPeriod + 14 * kMs, 3 * kPeriod + 14 * kMs, 0, 0},
      {"an edge of the count from Run only", 8 * kMs, kPeriod / 2 + kMs, 3 * kPeriod / 2 - kMs, kMs, 0},
  };
  for (const Row& row : rows) {
    for (const bool fromRun : {true, false}) {
      SCOPED_TRACE(std::string(row.what) + (fromRun ? "" : ", no count from Run"));
      ArrivalSpacing spacing;
      spacing.Reset(fromRun);
      EXPECT_EQ(0, spacing.HoldFor(row.first, kPeriod));
      spacing.Arrived(row.first);
      spacing.Arrived(row.last);
      EXPECT_EQ(fromRun ? row.hold : row.holdCountedFromTheFirstOnly, spacing.HoldFor(row.now, kPeriod));
    }
  }
}

// A 60 fps camera (or `period`) counted from its first picture, which went out 10 or 13 ms
// late (it waited for its frame); then every picture ready on time while the
// deadlines drift 2 ms earlier with the producer, each woken up to 1 ms late
// as timers are. Holds sleep whole milliseconds and a little more, as Sleep
// does. The slip moves the deadlines from the next picture's on, as the pin's.
struct EdgeRun {
  int dropped = 0, held = 0;
  REFERENCE_TIME slip = 0;
};

EdgeRun StreamAtTheFirstPicturesEdge(REFERENCE_TIME first, bool onTime, REFERENCE_TIME period = 166667) {
  const auto periodOf = [&](REFERENCE_TIME t) { return (t - first + period / 2) / period; };
  ArrivalSpacing spacing;
  spacing.Reset(false);
  spacing.Arrived(first);
  EdgeRun run;
  REFERENCE_TIME last = first, followed = 0;
  for (int k = 1; k <= 600; ++k) {
    const REFERENCE_TIME drift = 26 * kMs / 10 - 2 * kMs * k / 600, wakeUp = (k % 3) * kMs / 3;
    const REFERENCE_TIME ready = k * period + drift + wakeUp + 9 * kMs / 10 + followed;
    followed = spacing.Slip();  // from the next deadline on
    const REFERENCE_TIME hold = spacing.HoldFor(ready, period, onTime);
    run.slip = spacing.Slip();
    if (hold == ArrivalSpacing::kDrop) {
      ++run.dropped;
      continue;
    }
    run.held += hold > 0;
    const REFERENCE_TIME sent = hold > 0 ? ready + (hold + kMs - 1) / kMs * kMs + 2000 : ready;
    EXPECT_LT(periodOf(last), periodOf(sent)) << "picture " << k;
    spacing.Arrived(sent);
    last = sent;
  }
  return run;
}

TEST(ArrivalSpacing, PicturesOnTimeAtTheEdgeOfTheFirstPicturesCountMoveTheDeadlinesPastIt) {
  for (const REFERENCE_TIME first : {10 * kMs, 13 * kMs}) {
    SCOPED_TRACE("first picture at " + std::to_string(first / kMs) + " ms");
    const EdgeRun late = StreamAtTheFirstPicturesEdge(first, false);
    EXPECT_GT(late.held, 200) << "pictures that may have been late move nothing and are held again and again";
    EXPECT_EQ(0, late.slip);
    const EdgeRun onTime = StreamAtTheFirstPicturesEdge(first, true);
    EXPECT_EQ(0, onTime.dropped);
    EXPECT_LE(onTime.held, 8);
    EXPECT_GT(onTime.slip, 0);
    EXPECT_LT(onTime.slip, 166667 / 2);
  }
  // At 30 fps the holds at the edge are far from a drop: the deadlines stay.
  const EdgeRun at30 = StreamAtTheFirstPicturesEdge(19 * kMs, true, kPeriod);
  EXPECT_EQ(0, at30.dropped);
  EXPECT_GT(at30.held, 100);
  EXPECT_EQ(0, at30.slip);
}

// One on-time picture held at an edge, with pictures clear of it around it,
// is the timers' noise: nothing moves.
TEST(ArrivalSpacing, AHoldOnItsOwnMovesNoDeadline) {
  ArrivalSpacing spacing;
  spacing.Reset(false);
  spacing.Arrived(0);
  spacing.Arrived(kPeriod + kPeriod / 2 - kMs / 2);
  EXPECT_GT(spacing.HoldFor(2 * kPeriod + kPeriod / 2 - kMs, kPeriod, true), 0);
  spacing.Arrived(2 * kPeriod + kPeriod / 2 + kMs);
  EXPECT_EQ(0, spacing.HoldFor(3 * kPeriod + 6 * kPeriod / 10, kPeriod, true));
  spacing.Arrived(3 * kPeriod + 6 * kPeriod / 10);
  EXPECT_GT(spacing.HoldFor(4 * kPeriod + kPeriod / 2 - kMs, kPeriod, true), 0);
  EXPECT_EQ(0, spacing.Slip());
}

}  // namespace
}  // namespace telvor
