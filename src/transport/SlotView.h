// One slot as a consumer sees it: the number the producer gave the slot's
// payload when the reader handed it on, against the number the slot carries
// now. Read only while holding the channel's slots (SlotsHold), when the
// producer cannot be halfway through a rewrite.
#pragma once

#include <cstdint>

#include "transport/SlotHeader.h"

namespace telvor {

enum class SlotRing { kVideo, kAudio };

enum class SlotNow {
  kAsQueued,  // still the payload that was handed on
  kNewer,     // rewritten since with a later payload
  kRetired,   // a lower number: a restarted producer retired the slot
};

class SlotView {
 public:
  SlotView(SlotRing ring, const std::uint8_t* payload, std::uint64_t queued)
      : ring_(ring), payload_(payload), queued_(queued) {}

  std::uint64_t NumberNow() const {
    const SlotHeader header = HeaderBeforePayload(payload_);
    return ring_ == SlotRing::kVideo ? header.video_sequence : header.audio_sequence;
  }
  bool Unchanged() const { return NumberNow() == queued_; }
  // Numbers may wrap past 2^64 - 1 to 0: "later" is a positive difference.
  SlotNow Now() const {
    const std::uint64_t now = NumberNow();
    if (now == queued_) return SlotNow::kAsQueued;
    return static_cast<std::int64_t>(now - queued_) > 0 ? SlotNow::kNewer : SlotNow::kRetired;
  }
  // The bytes the slot says it holds now.
  std::uint32_t LengthNow() const { return HeaderBeforePayload(payload_).payload_length; }

 private:
  SlotRing ring_;
  const std::uint8_t* payload_;
  std::uint64_t queued_;
};

}  // namespace telvor
