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

}  // namespace
}  // namespace telvor
