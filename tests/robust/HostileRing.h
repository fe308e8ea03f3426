// The camera's video ring written by a producer that need not follow the
// ring's rules: the test (or the helper process) lays out every byte itself.
#pragma once

#include <algorithm>
#include <cstring>

#include "transport/FakeRing.h"

namespace telvor::test {

class HostileRing : public FakeRing {
 public:
  HostileRing(int camera, std::size_t section_bytes) : FakeRing(kVideoNames, camera, section_bytes) {}

  // Slot 0's format fields (the capacity field is what slot addressing uses).
  void SetFormat(std::uint32_t fourcc, std::uint32_t width, std::uint32_t height, double fps, std::uint32_t capacity) {
    Lock();
    SlotHeader* header = Header(0, 0);
    header->video_fourcc = fourcc;
    header->video_width = width;
    header->video_height = height;
    header->video_frame_rate = fps;
    header->video_capacity = capacity;
    Unlock();
  }
  // Writes one slot under the mutex. The slot stride is `stride_capacity` + 84
  // (normally the announced capacity); payload bytes written are clipped to
  // what lies inside the section.
  void WriteSlot(std::uint32_t slot, std::uint32_t stride_capacity, std::uint64_t sequence, std::uint64_t timestamp,
                 std::uint32_t length, std::uint8_t value, std::uint32_t fill_bytes) {
    const std::uint64_t start = std::uint64_t{slot} * (std::uint64_t{stride_capacity} + kSlotHeaderSize);
    if (start + kSlotHeaderSize > Bytes()) return;
    Lock();
    SlotHeader* header = Header(stride_capacity, slot);
    const std::uint64_t room = Bytes() - start - kSlotHeaderSize;
    std::memset(header + 1, value, static_cast<std::size_t>(std::min<std::uint64_t>(fill_bytes, room)));
    header->video_timestamp = timestamp;
    header->payload_length = length;
    header->video_sequence = sequence;  // last, as a careful producer would
    Unlock();
  }
  // Patches a field of slot 0 under the mutex (a producer changing format mid-stream).
  void PatchSlot0(std::size_t offset, const void* data, std::size_t size) {
    Lock();
    std::memcpy(Base() + offset, data, size);
    Unlock();
  }
};

}  // namespace telvor::test
