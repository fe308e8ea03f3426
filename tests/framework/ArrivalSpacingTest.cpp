// When a picture ready at a given time goes out, against a client that rounds
// arrivals to the frame rate counting from the first picture or from Run.
#include <gtest/gtest.h>

#include "framework/ArrivalSpacing.h"

namespace telvor {
namespace {

constexpr REFERENCE_TIME kPeriod = 333333, kMs = 10000;

TEST(ArrivalSpacing, OnTimeGoesAtOnceAStraddlerIsHeldPastTheEdgeALateOneDropped) {
  struct Row {
    const char* what;
    REFERENCE_TIME first, last, now, hold;
  };
  const Row rows[] = {
      {"a period after the one before", 0, 0, kPeriod, 0},
      {"a period after a late first picture", 10 * kMs, 10 * kMs, kPeriod, 0},
      {"just before the edge the one before may have crossed", 0, kPeriod / 2 + kMs, 3 * kPeriod / 2 - kMs, 2 * kMs},
      {"on time after one held up past its period's middle", 0, 2 * kPeriod + 7 * kPeriod / 10, 3 * kPeriod,
       ArrivalSpacing::kDrop},
      {"after a first picture that set a later count", 15 * kMs, 2 * kPeriod + 14 * kMs, 3 * kPeriod + 14 * kMs, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ArrivalSpacing spacing;
    EXPECT_EQ(0, spacing.HoldFor(row.first, kPeriod));
    spacing.Arrived(row.first);
    spacing.Arrived(row.last);
    EXPECT_EQ(row.hold, spacing.HoldFor(row.now, kPeriod));
  }
}

}  // namespace
}  // namespace telvor
