// The video pin's queue of producer frames: references into the channel's
// slots, oldest first, at most five. A fixed ring, so the reader thread never
// allocates while it holds the producer's mutex.
#pragma once

#include <windows.h>

#include <cstdint>

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
  std::int64_t arrival;       // when the reader queued it, telvor::CounterNow100ns
};

class FrameQueue {
 public:
  static constexpr int kCapacity = 5;

  // Appends at the back; when full, the oldest entry makes room first, so a
  // slow consumer loses old frames rather than falling behind.
  void Push(const FrameEntry& entry) {
    if (count_ == kCapacity) Drop();
    entries_[(head_ + count_) % kCapacity] = entry;
    ++count_;
  }
  bool Pop(FrameEntry* entry) {
    if (count_ == 0) return false;
    *entry = entries_[head_];
    Drop();
    return true;
  }
  // The oldest entry, left in place; false when empty.
  bool Front(FrameEntry* entry) const {
    if (count_ == 0) return false;
    *entry = entries_[head_];
    return true;
  }
  void Clear() { head_ = count_ = 0; }
  // Drops the oldest entries until at most `count` are left.
  void KeepNewest(int count) {
    while (count_ > count) Drop();
  }
  int Size() const { return count_; }
  bool Empty() const { return count_ == 0; }

 private:
  void Drop() {
    head_ = (head_ + 1) % kCapacity;
    --count_;
  }

  FrameEntry entries_[kCapacity] = {};
  int head_ = 0;
  int count_ = 0;
};
