// The 84-byte record at the start of every slot of both rings. The producer
// writes it; the readers only copy it out. Slot 0's copy doubles as the
// channel's format header. Video and audio rings use the same record: each
// reads its own group of fields and passes the other group through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace telvor {

inline constexpr std::uint32_t kSlotHeaderSize = 84;
inline constexpr std::uint32_t kVideoSlotCount = 8;
inline constexpr std::uint32_t kAudioSlotCount = 16;

inline constexpr std::uint32_t kFourCcYuy2 = 0x32595559;  // 'Y','U','Y','2'
inline constexpr std::uint32_t kFourCcYv12 = 0x32315659;  // 'Y','V','1','2'

// Packed to 4 so that the 64-bit fields keep their producer offsets and the
// record stays 84 bytes (natural alignment would pad it to 88), in 32-bit and
// 64-bit processes alike: every field has a fixed size, none is a pointer or
// size_t. The 64-bit fields are written and read only by a process holding
// the channel's mutex, so a 32-bit one, which moves them in two halves, never
// sees one half-written.
#pragma pack(push, 4)
struct SlotHeader {
  std::uint32_t video_fourcc;              // 0x00
  std::uint32_t video_width;               // 0x04
  std::uint32_t video_height;              // 0x08
  std::uint32_t reserved0;                 // 0x0C
  double video_frame_rate;                 // 0x10
  std::uint64_t video_sequence;            // 0x18
  std::uint64_t video_timestamp;           // 0x20, 100-ns units
  std::uint32_t video_capacity;            // 0x28, payload bytes per video slot
  std::uint32_t audio_channels;            // 0x2C
  std::uint32_t audio_bits_per_sample;     // 0x30
  std::uint32_t audio_samples_per_second;  // 0x34
  std::uint64_t audio_sequence;            // 0x38
  std::uint64_t audio_timestamp;           // 0x40, 100-ns units
  std::uint32_t audio_capacity;            // 0x48, payload bytes per audio slot
  std::uint32_t payload_length;            // 0x4C, bytes held in this slot
  std::uint32_t reserved1;                 // 0x50
};
#pragma pack(pop)

static_assert(sizeof(SlotHeader) == kSlotHeaderSize, "slot header must stay 84 bytes");
static_assert(offsetof(SlotHeader, video_frame_rate) == 0x10, "producer layout");
static_assert(offsetof(SlotHeader, video_sequence) == 0x18, "producer layout");
static_assert(offsetof(SlotHeader, video_timestamp) == 0x20, "producer layout");
static_assert(offsetof(SlotHeader, video_capacity) == 0x28, "producer layout");
static_assert(offsetof(SlotHeader, audio_channels) == 0x2C, "producer layout");
static_assert(offsetof(SlotHeader, audio_sequence) == 0x38, "producer layout");
static_assert(offsetof(SlotHeader, audio_timestamp) == 0x40, "producer layout");
static_assert(offsetof(SlotHeader, audio_capacity) == 0x48, "producer layout");
static_assert(offsetof(SlotHeader, payload_length) == 0x4C, "producer layout");

// The header of the slot whose payload a channel handed on at `payload`.
// Copied out: the producer places slots at unaligned offsets.
inline SlotHeader HeaderBeforePayload(const std::uint8_t* payload) {
  SlotHeader header;
  std::memcpy(&header, payload - kSlotHeaderSize, sizeof header);
  return header;
}

// Bytes a ring of `slots` slots with `capacity` payload bytes each occupies.
// Computed in 64 bits: 16 x (2^32 - 1 + 84) cannot overflow there, whatever a
// producer writes into the capacity field.
constexpr std::uint64_t RingBytes(std::uint32_t slots, std::uint32_t capacity) {
  return static_cast<std::uint64_t>(slots) * (static_cast<std::uint64_t>(capacity) + kSlotHeaderSize);
}

}  // namespace telvor
