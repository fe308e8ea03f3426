// Packets handed over by the audio channel's reader thread, waiting for the
// streaming thread. A packet refers to its payload inside the channel's
// mapped view; nothing is copied until the sample is filled.
//
// The queue keeps the newest packets: a producer running ahead of the clock
// loses its oldest ones rather than building up latency. A fixed ring, so
// the reader thread never allocates while it holds the producer's mutex.
#pragma once

#include <cstddef>
#include <cstdint>

#include "framework/Handle.h"

namespace telvor {

struct AudioPacket {
  const std::uint8_t* payload = nullptr;
  std::uint32_t length = 0;  // already bounded by the slot's capacity
};

class AudioPacketQueue {
 public:
  static constexpr std::size_t kMaxPackets = 9;

  // Appends, first dropping the oldest packet when the queue is full.
  void Push(const AudioPacket& packet);
  // Takes the oldest packet; false when there is none.
  bool TryPop(AudioPacket* packet);
  // Looks up to `checks` times, sleeping `pauseMs` between looks with the
  // lock released, so the reader thread can hand over a packet meanwhile.
  bool PopWithin(int checks, DWORD pauseMs, AudioPacket* packet);
  void Clear();
  std::size_t Size();

 private:
  CCritSec m_QueueLock;  // guards everything below
  AudioPacket m_Ring[kMaxPackets];
  std::size_t m_Head = 0;  // oldest packet
  std::size_t m_Count = 0;
};

}  // namespace telvor
