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
//
// The count's origin is the first picture, which may have gone out late (it
// waited for its frame): later pictures, on time, can then sit right at the
// edges of the client's periods, and each would be held, or dropped once the
// deadlines drift a little earlier (at 60 fps a quarter period is 4.2 ms).
// Two pictures within a few, each ready on time after one on time, that
// still needed a short hold say exactly that: Slip() sums those holds, each
// with a millisecond to spare, and the deadlines sit that much later from
// then on, so that the pictures clear the edge by themselves. Holds after a
// late picture (a stall, a busy machine) say nothing of where the deadlines
// sit and move nothing.

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
    slip_ = 0;
    previousOnTime_ = false;
    sinceEdge_ = kNoEdge;
  }
  // How long to hold a picture that is ready at stream time `now` before it
  // goes out (0: at once), or kDrop. `onTime`: it is the producer's picture
  // and was ready when its deadline said.
  REFERENCE_TIME HoldFor(REFERENCE_TIME now, REFERENCE_TIME period, bool onTime = false);
  void Arrived(REFERENCE_TIME when);
  // How much later the deadlines should sit than where the producer's phase
  // puts them: less than half a period.
  REFERENCE_TIME Slip() const { return slip_; }

 private:
  bool arrived_ = false;
  bool countFromRun_ = true;
  REFERENCE_TIME first_ = 0;
  REFERENCE_TIME last_ = 0;
  REFERENCE_TIME slip_ = 0;
  // Timers' jitter may put only every second or third picture over the edge.
  static constexpr int kEdgeWindow = 8, kNoEdge = kEdgeWindow + 1;
  bool previousOnTime_ = false;
  int sinceEdge_ = kNoEdge;  // pictures since one on time was held at an edge
};

}  // namespace telvor
