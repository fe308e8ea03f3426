#include "filter/video/FrameQueue.h"

#include "transport/SharedChannel.h"

FrameQueue::FrameQueue() : lock_(kSpinCount), queued_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

void FrameQueue::Push(const FrameEntry& entry) {
  bool awaited;
  {
    CAutoLock lock(&lock_);
    awaited = awaited_;
    if (count_ == kCapacity) Drop();
    entries_[(head_ + count_) % kCapacity] = entry;
    ++count_;
  }
  if (awaited) SetEvent(queued_.Get());
}

void FrameQueue::Drop() {
  head_ = (head_ + 1) % kCapacity;
  --count_;
}

void FrameQueue::ClearLocked() {
  head_ = count_ = 0;
  last_ = FrameEntry();
}

void FrameQueue::Clear() {
  CAutoLock lock(&lock_);
  ClearLocked();
}

void FrameQueue::ForgetShown() {
  CAutoLock lock(&lock_);
  newestShown_ = 0;
  anyShown_ = false;
}

void FrameQueue::Restart() {
  CAutoLock lock(&lock_);
  ClearLocked();
  newestShown_ = 0;
  anyShown_ = false;
}

void FrameQueue::KeepNewest() {
  CAutoLock lock(&lock_);
  while (count_ > 1) Drop();
}

void FrameQueue::HoldNewest() {
  CAutoLock lock(&lock_);
  if (count_ == 0) return;
  last_ = entries_[(head_ + count_ - 1) % kCapacity];
  head_ = count_ = 0;
}

// Producer numbers may wrap past 2^64 - 1 to 0: "newer" is a positive
// difference, the same rule the channel's reader orders frames by.
bool FrameQueue::IsUnshownLocked(std::uint64_t sequence) const {
  return !anyShown_ || static_cast<std::int64_t>(sequence - newestShown_) > 0;
}

bool FrameQueue::IsUnshown(std::uint64_t sequence) {
  CAutoLock lock(&lock_);
  return IsUnshownLocked(sequence);
}

void FrameQueue::Shown(std::uint64_t sequence) {
  CAutoLock lock(&lock_);
  if (!IsUnshownLocked(sequence)) return;
  newestShown_ = sequence;
  anyShown_ = true;
}

// Frames the producer has already overtaken (a newer one went out from a
// rewritten slot) would take the picture back in time.
bool FrameQueue::PopUnshown(FrameEntry* entry) {
  while (count_ > 0) {
    *entry = entries_[head_];
    Drop();
    if (IsUnshownLocked(entry->sequence)) return true;
  }
  return false;
}

FrameEntry FrameQueue::Take(int waits) {
  FrameEntry entry = {};
  CAutoLock lock(&lock_);
  bool taken = PopUnshown(&entry);
  if (!taken && waits > 0) {
    // A signal left from an earlier wait must not cut the first one short.
    ResetEvent(queued_.Get());
    awaited_ = true;
    for (int wait = 0; !taken && wait < waits; ++wait) {
      if (last_.channel) last_.channel->ExpectFrame();
      lock_.Unlock();
      WaitForSingleObject(queued_.Get(), 1);
      lock_.Lock();
      taken = PopUnshown(&entry);
    }
    awaited_ = false;
  }
  if (!taken) entry = last_.data ? last_ : FrameEntry();
  last_ = entry;
  return entry;
}

FrameEntry FrameQueue::SkipRewritten(FrameEntry entry, bool (*whole)(const FrameEntry&)) {
  CAutoLock lock(&lock_);
  while (count_ > 0 && !whole(entry) && entries_[head_].channel == entry.channel) {
    entry = entries_[head_];
    Drop();
  }
  last_ = entry;
  return entry;
}

int FrameQueue::Size() {
  CAutoLock lock(&lock_);
  return count_;
}
