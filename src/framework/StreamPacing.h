// Where a source stream's deadlines sit behind its stamps, and whether a
// ready sample goes out now, later or not at all: what a source that follows
// something outside the graph (a producer's writes) tells its stream. The
// stream keeps the stamps, the clock, the loop and the skipping of late
// deadlines, and asks its pacing, if it has one, at these points:
//
//   Running     each time the stream starts running, before its first deadline
//   Place       at a run's first deadline, before anything is produced
//   Deadline    at each deadline, before the buffer is asked for
//   Follow      after each fill that did not end the stream
//   HoldFor     a picture's sample, stamped, before it goes out (streams that
//   Sent        skip late deadlines only); Sent when it goes
//   Delivered   after the sample went downstream
//
// A shift is how long after its start time a sample is due; the stream keeps
// it, never negative, and starts each stream at 0. Streaming thread only.
#pragma once

#include <strmif.h>

class StreamPacing {
 public:
  // HoldFor's answer for a sample that must not go out.
  static constexpr REFERENCE_TIME kDrop = -1;

  virtual ~StreamPacing() = default;

  // `countFromRun`: whether a client of the graph may be counting pictures
  // from Run (asked at Run).
  virtual void Running(bool countFromRun) = 0;
  // Woken `lateness` after the deadline, which sits `shift` behind the grid:
  // the shift from this deadline on. A larger one moves this deadline too.
  virtual REFERENCE_TIME Place(REFERENCE_TIME lateness, REFERENCE_TIME shift) = 0;
  virtual void Deadline(REFERENCE_TIME lateness) = 0;
  // The shift from the next deadline on.
  virtual REFERENCE_TIME Follow(REFERENCE_TIME shift) = 0;
  // How long to hold a sample ready at stream time `now` (0: none), or
  // kDrop; `period` is one media unit's time.
  virtual REFERENCE_TIME HoldFor(REFERENCE_TIME now, REFERENCE_TIME period) = 0;
  virtual void Sent(REFERENCE_TIME now) = 0;
  virtual void Delivered() = 0;
};
