#pragma once
// Keeps each picture's arrival in a frame period of its own, as clients that
// stamp video by arrival see it.
//
// FFmpeg stamps a picture with the graph clock when it arrives, counts from
// its input's start (the first picture, or Run when the input also carries
// sound) and rounds to the frame rate; a second picture in one period is
// refused and its recording stalls. On time, pictures are a period apart and
// this never acts. A picture held up after its deadline (a busy machine, a
// deadline moved onto the producer's phase) is held a moment more when that
// takes it past the period's edge, and dropped when it would have to wait
// longer, so the next deadline is on time again.

#include <strmif.h>

namespace telvor {

class ArrivalSpacing {
 public:
  static constexpr REFERENCE_TIME kDrop = -1;

  // Forget earlier arrivals: each Run starts a new count. Periods counted
  // from Run matter only when a client may count that way.
  void Reset(bool countFromRun = true) {
    arrived_ = false;
    countFromRun_ = countFromRun;
  }
  // How long to hold a picture that is ready at stream time `now` before it
  // goes out (0: at once), or kDrop.
  REFERENCE_TIME HoldFor(REFERENCE_TIME now, REFERENCE_TIME period) const;
  void Arrived(REFERENCE_TIME when);

 private:
  bool arrived_ = false;
  bool countFromRun_ = true;
  REFERENCE_TIME first_ = 0;
  REFERENCE_TIME last_ = 0;
};

}  // namespace telvor
