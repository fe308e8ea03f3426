#include "filter/audio/AudioPacketQueue.h"

#include <algorithm>

#include "transport/SlotView.h"

namespace telvor {

void AudioPacketQueue::Push(const AudioPacket& packet) {
  CAutoLock lock(&m_QueueLock);
  if (m_Count == kMaxPackets) {
    m_Head = (m_Head + 1) % kMaxPackets;
    --m_Count;
  }
  m_Ring[(m_Head + m_Count) % kMaxPackets] = packet;
  ++m_Count;
}

void AudioPacketQueue::PutBack(const AudioPacket& packet) {
  CAutoLock lock(&m_QueueLock);
  if (m_Count == kMaxPackets) return;
  m_Head = (m_Head + kMaxPackets - 1) % kMaxPackets;
  m_Ring[m_Head] = packet;
  ++m_Count;
}

int AudioPacketQueue::RecentArrivals(std::int64_t* arrivals, int max, std::uint32_t* newestLength) {
  CAutoLock lock(&m_QueueLock);
  const int count = std::min(max, static_cast<int>(m_Count));
  for (int i = 0; i < count; ++i) arrivals[i] = m_Ring[(m_Head + m_Count - 1 - i) % kMaxPackets].arrival;
  *newestLength = m_Count ? m_Ring[(m_Head + m_Count - 1) % kMaxPackets].length : 0;
  return count;
}

bool AudioPacketQueue::TryPop(AudioPacket* packet) {
  CAutoLock lock(&m_QueueLock);
  if (m_Count == 0) return false;
  *packet = m_Ring[m_Head];
  m_Head = (m_Head + 1) % kMaxPackets;
  --m_Count;
  return true;
}

bool AudioPacketQueue::PopWithin(int checks, DWORD pauseMs, AudioPacket* packet) {
  for (int check = 0; check < checks; ++check) {
    if (check > 0) Sleep(pauseMs);
    if (TryPop(packet)) return true;
  }
  return false;
}

bool AudioPacketQueue::SkipRewritten(AudioPacket* packet) {
  while (!SlotView(SlotRing::kAudio, packet->payload, packet->sequence).Unchanged()) {
    if (!TryPop(packet)) return false;
  }
  return true;
}

void AudioPacketQueue::Clear() {
  CAutoLock lock(&m_QueueLock);
  m_Head = 0;
  m_Count = 0;
}

void AudioPacketQueue::KeepNewest(std::size_t count) {
  CAutoLock lock(&m_QueueLock);
  while (m_Count > count) {
    m_Head = (m_Head + 1) % kMaxPackets;
    --m_Count;
  }
}

std::size_t AudioPacketQueue::Size() {
  CAutoLock lock(&m_QueueLock);
  return m_Count;
}

}  // namespace telvor
