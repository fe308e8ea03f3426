// The video pin's queue of producer frames, between the channel's reader
// (Push, holding the producer's mutex) and the streaming thread (everything
// else): references into the channel's slots, oldest first, at most five,
// with what the streaming thread needs to choose among them (the last frame
// taken, the newest number shown). Its own lock
// guards all of it, so no caller can forget one; it is taken last, after
// the channel's, the producer's and the converter's, and never held while
// calling out. A fixed ring, so the reader never allocates while it holds
// the producer's mutex.
#pragma once

#include <windows.h>

#include <cstdint>

#include "base/Handle.h"

namespace telvor {
class SharedChannel;
}

// The slot may be rewritten by the producer once the reader has let go of it,
// so a consumer reads it only holding the channel's slots (LockSlots) and
// only while the slot still carries `sequence`. Entries exist only while
// their channel runs, and the channel outlives the streaming thread.
struct FrameEntry {
  std::int64_t time;          // channel sample time, 100 ns units
  const std::uint8_t* data;   // inside a slot of the channel's view; not owned
  std::uint32_t length;       // bytes readable at data (already bounded by the slot)
  std::uint64_t sequence;     // the producer's number of the frame when it was queued
  telvor::SharedChannel* channel;  // the frame's channel; not owned
};

class FrameQueue {
 public:
  static constexpr int kCapacity = 5;

  FrameQueue();
  FrameQueue(const FrameQueue&) = delete;
  FrameQueue& operator=(const FrameQueue&) = delete;
  // False when its event could not be made.
  bool Ready() const { return static_cast<bool>(queued_); }

  // --- the channel's reader ---
  // Appends; when full, the oldest entry makes
  // room first, so a slow consumer loses old frames rather than falling behind.
  void Push(const FrameEntry& entry);

  // --- any thread ---
  // Drops what is queued and the last frame taken (their channel closes, or
  // its frames are in a format gone by).
  void Clear();
  // A new producer, or one that changed its format, numbers its frames
  // afresh: the numbers shown so far must not make them look shown.
  void ForgetShown();

  // --- the streaming thread ---
  // A new stream: Clear, nothing shown.
  void Restart();
  // Only the newest queued frame stays.
  void KeepNewest();
  // Every queued frame is taken at once; the newest becomes the last taken.
  void HoldNewest();
  // The oldest queued frame newer than any shown; failing one, up to `waits`
  // 1 ms waits for the reader to queue one (the frame's channel is told a
  // deadline expects it); failing that, the last frame taken again, which
  // is null before any.
  FrameEntry Take(int waits);
  // While `entry` is no longer whole (`whole` says, called under the
  // queue's lock with the slots held), the queued frame after it from the
  // same channel replaces it. Returns the frame to show, now the last taken.
  FrameEntry SkipRewritten(FrameEntry entry, bool (*whole)(const FrameEntry&));
  // A frame went out: numbers up to it are stale from now on.
  void Shown(std::uint64_t sequence);
  bool IsUnshown(std::uint64_t sequence);
  int Size();

 private:
  // All under lock_.
  bool PopUnshown(FrameEntry* entry);
  bool IsUnshownLocked(std::uint64_t sequence) const;
  void Drop();
  void ClearLocked();

  static constexpr DWORD kSpinCount = 4000;
  CCritSec lock_;
  FrameEntry entries_[kCapacity] = {};
  int head_ = 0;
  int count_ = 0;
  FrameEntry last_ = {};  // the last frame taken
  // The producer's number of the newest frame shown; queued frames up to it
  // are stale and skipped.
  std::uint64_t newestShown_ = 0;
  bool anyShown_ = false;
  // Set for a frame queued while a deadline waits for one, which then takes
  // it at once instead of at the end of its 1 ms wait. Only then: the reader
  // spares itself a call into the system per frame.
  UniqueHandle queued_;
  bool awaited_ = false;
};
