// Holds a channel's slots (its producer's mutex) for one scope if they can
// be had within the time given. An abandoned mutex is ours all the same; the
// slots it guards are still readable, at worst one holds a half-written
// packet or picture.
#pragma once

#include "transport/SharedChannel.h"

namespace telvor {

class SlotsHold {
 public:
  // A null channel holds nothing.
  SlotsHold(SharedChannel* channel, DWORD timeoutMs) : channel_(channel) {
    if (channel_) hold_ = channel_->LockSlots(timeoutMs);
  }
  ~SlotsHold() {
    if (channel_) channel_->UnlockSlots(hold_);
  }
  bool Held() const { return hold_ != SharedChannel::SlotHold::kNone; }
  SlotsHold(const SlotsHold&) = delete;
  SlotsHold& operator=(const SlotsHold&) = delete;

 private:
  SharedChannel* channel_;
  SharedChannel::SlotHold hold_ = SharedChannel::SlotHold::kNone;
};

}  // namespace telvor
