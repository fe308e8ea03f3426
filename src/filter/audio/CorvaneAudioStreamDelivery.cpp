// The audio pin's streaming side: one buffer per clock deadline of the
// framework's loop, each buffer as long as the audio it holds.
#include "filter/audio/CorvaneAudioStream.h"

#include <evcode.h>

#include <algorithm>

#include "base/Handle.h"
#include "base/Log.h"
#include "filter/StreamWatch.h"
#include "transport/SlotsHold.h"

namespace {
// About 6 ms of looking for a late packet before silence goes out instead:
// short enough that a silent buffer (5.3 ms) still leaves the clock ahead.
constexpr int kPacketChecks = 7;
constexpr DWORD kPacketPauseMs = 1;
constexpr LONGLONG kUnitsPerSecond = 10000000;
// One wait for the producer's mutex; after kBusyWaits of them in a row the
// packet is dropped and silence goes out instead. Whoever holds the mutex on
// a busy machine may just be waiting for a core: the packet goes out late,
// and the deadlines, already due, catch up with it, where a dropped one is a
// gap in the sound. A producer stalled with its mutex holds the stream back
// by at most 80 ms a packet. Between the waits commands are heard.
constexpr DWORD kMaxProducerWaitMs = 20;
constexpr int kBusyWaits = 3;
constexpr wchar_t kUnit[] = L"CorvaneAudioStream";
}  // namespace

HRESULT CorvaneAudioStream::OnThreadStartPlay() {
  m_ProducerBusyLogged = false;
  m_BusyWaits = 0;
  m_Packets.Clear();
  m_Pacing.ForgetArrivals();
  m_Watch.Start(m_CameraIndex, telvor::AudioWatchFormat(m_Connected));
  return S_OK;
}

HRESULT CorvaneAudioStream::OnThreadDestroy() {
  m_Watch.Stop();
  return S_OK;
}

void CorvaneAudioStream::OnDelivered() { m_Watch.Delivered(); }

LONGLONG CorvaneAudioStream::MediaLength(IMediaSample* sample) {
  return m_Connected.nBlockAlign ? sample->GetActualDataLength() / m_Connected.nBlockAlign : 0;
}

// Sound queued while the graph was paused would delay everything after it
// for the whole recording: the stream starts from the newest packet. The
// graph's start time usually lies some way ahead of its Run, and what queues
// until the first deadline counts as well, so the queue is cut there.
void CorvaneAudioStream::OnRunning() { m_StartFromNewest = true; }

// Placed by the queued packets' arrivals, spaced by the newest one's length.
// A packet longer than a buffer goes out over several deadlines, which have
// no one place against its arrivals.
int CorvaneAudioStream::PlacingArrivals(const telvor::ProducerPacing&, std::int64_t* arrivals, int max,
                                        std::int64_t* period) {
  std::uint32_t length = 0;
  const int count = m_Packets.RecentArrivals(arrivals, max, &length);
  if (!m_Connected.nBlockAlign || length < m_Connected.nBlockAlign || length > static_cast<std::uint32_t>(m_BufferBytes))
    return -1;
  *period = MediaTime(length / m_Connected.nBlockAlign);
  return count;
}

REFERENCE_TIME CorvaneAudioStream::MediaTime(LONGLONG frames) {
  return m_Connected.nSamplesPerSec ? frames * kUnitsPerSecond / m_Connected.nSamplesPerSec : 0;
}

HRESULT CorvaneAudioStream::FillBuffer(IMediaSample* sample) {
  if (!sample) return E_POINTER;
  telvor::AudioPacket packet;
  // Waiting for a packet only makes sense while a producer's packets can
  // arrive; without one, silence must keep pace with the clock.
  const int checks = m_PacketsFlowing.load() ? kPacketChecks : 1;
  if (m_StartFromNewest) m_Packets.KeepNewest(1);
  m_StartFromNewest = false;

  BYTE* data = nullptr;
  HRESULT hr = sample->GetPointer(&data);
  if (FAILED(hr)) return hr;
  long written = 0;
  bool havePacket = false;
  bool pieceOfLonger = false;  // one of several buffers of a packet
  {
    // Queued packets point into the channel: it stays while they are used.
    telvor::SharedLockHold channel(&m_ChannelUse);
    havePacket = m_Packets.PopWithin(checks, kPacketPauseMs, &packet);
    // The reader let go of the slot when it queued the packet; a producer
    // running ahead may have written over it since, or be writing it now.
    telvor::SlotsHold producer(havePacket ? packet.channel : nullptr, kMaxProducerWaitMs);
    if (havePacket && !producer.Held()) {
      if (++m_BusyWaits <= kBusyWaits) {
        m_Packets.PutBack(packet);
        sample->SetActualDataLength(0);
        return kSkipSample;  // no audio, so the same deadline again
      }
      if (!m_ProducerBusyLogged) {
        TELVOR_ERROR_OBJ(kUnit, L"CorvaneAudioStream::FillBuffer", this)
            << L"producer kept its mutex over " << (kBusyWaits + 1) * kMaxProducerWaitMs << L" ms, silence sent";
        m_ProducerBusyLogged = true;
      }
      havePacket = false;
    }
    m_BusyWaits = 0;
    if (havePacket) havePacket = m_Packets.SkipRewritten(&packet);
    const long room = std::min(sample->GetSize(), m_BufferBytes);
    written = telvor::FillAudioBuffer(havePacket ? &packet : nullptr, data, room, m_Connected.wBitsPerSample);
    if (havePacket && written > 0 && packet.sent + static_cast<std::uint32_t>(written) < packet.length) {
      // The rest goes out at the next deadlines, before any later packet.
      packet.sent += static_cast<std::uint32_t>(written);
      m_Packets.PutBack(packet);
      pieceOfLonger = true;
    } else if (havePacket && packet.sent > 0) {
      pieceOfLonger = true;
    }
  }
  // The deadlines follow a whole packet's arrival, spaced by its length;
  // silence, or a piece of a longer packet, says nothing of where they sit.
  const bool whole = havePacket && !pieceOfLonger && m_Connected.nBlockAlign;
  m_Pacing.Filled(whole, whole ? MediaTime(written / m_Connected.nBlockAlign) : 0);
  sample->SetSyncPoint(TRUE);
  sample->SetDiscontinuity(TRUE);
  sample->SetPreroll(FALSE);
  sample->SetActualDataLength(written);
  return S_OK;
}
