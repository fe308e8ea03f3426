// Packets handed over by the audio channel's reader thread, waiting for the
// streaming thread. A packet refers to its payload inside the channel's
// mapped view; nothing is copied until the sample is filled, and then only
// holding the channel's slots, after checking that the producer has not
// written another packet over it since (see SkipRewritten).
//
// The queue keeps the newest packets: a producer running ahead of the clock
// loses its oldest ones rather than building up latency. A fixed ring, so
// the reader thread never allocates while it holds the producer's mutex.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/Handle.h"

namespace telvor {

class SharedChannel;

struct AudioPacket {
  const std::uint8_t* payload = nullptr;
  std::uint32_t length = 0;          // already bounded by the slot's capacity
  std::uint64_t sequence = 0;        // the slot's number when it was queued
  SharedChannel* channel = nullptr;  // whose slots to hold while copying
  std::int64_t arrival = 0;          // when the reader queued it, CounterNow100ns
  std::uint32_t sent = 0;            // bytes already delivered: a packet longer than a buffer goes out over several
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
  // Holding the slots of `packet`'s channel: a slot whose number changed
  // since it was queued holds a packet the producer wrote later, so it is
  // passed over for the next queued packet, keeping the order the producer
  // wrote them in. False when no queued packet is left as it was queued.
  bool SkipRewritten(AudioPacket* packet);
  // Puts a packet just taken back in front, unless the queue filled up
  // meanwhile (it would have been the first to go).
  void PutBack(const AudioPacket& packet);
  // When the queued packets arrived, newest first, at most `max` of them;
  // returns how many. `newestLength` gets the newest one's length in bytes.
  int RecentArrivals(std::int64_t* arrivals, int max, std::uint32_t* newestLength);
  void Clear();
  // Drops the oldest packets until at most `count` are left.
  void KeepNewest(std::size_t count);
  std::size_t Size();

 private:
  CCritSec m_QueueLock;  // guards everything below
  AudioPacket m_Ring[kMaxPackets];
  std::size_t m_Head = 0;  // oldest packet
  std::size_t m_Count = 0;
};

}  // namespace telvor
