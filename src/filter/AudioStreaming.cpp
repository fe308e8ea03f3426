// The audio pin's streaming thread: one buffer per clock deadline, each
// deadline set where the audio delivered so far ends.
#include "filter/CorvaneAudioStream.h"

#include <evcode.h>

#include "framework/ComPtr.h"
#include "module/Log.h"
#include "transport/SlotsHold.h"

namespace {
// About 6 ms of looking for a late packet before silence goes out instead:
// short enough that a silent buffer (5.3 ms) still leaves the clock ahead.
constexpr int kPacketChecks = 7;
constexpr DWORD kPacketPauseMs = 1;
// Pause before asking a busy or not yet usable allocator again.
constexpr DWORD kBufferRetryMs = 1;
// Longest wait for the producer's mutex before the packet is dropped and
// silence goes out instead: long enough to ride out a busy machine's
// scheduling delays, short enough that a producer stalled with its mutex
// holds the stream back by at most the queue's nine packets x 20 ms, which
// the clock's deadlines, already due, then catch up with.
constexpr DWORD kMaxProducerWaitMs = 20;
constexpr wchar_t kUnit[] = L"CorvaneAudioStream";
}  // namespace

HRESULT CorvaneAudioStream::OnThreadStartPlay() {
  m_Timeline.Reset();
  m_ProducerBusyLogged = false;
  m_Packets.Clear();
  return m_Clock.Start();
}

HRESULT CorvaneAudioStream::OnThreadDestroy() {
  m_Clock.Stop();
  return S_OK;
}

HRESULT CorvaneAudioStream::DoBufferProcessingLoop() {
  HRESULT hr = OnThreadStartPlay();
  if (FAILED(hr)) {
    // Without any way to pace the output there is nothing to stream.
    DeliverEndOfStream();
    m_pFilter->NotifyEvent(EC_ERRORABORT, hr, 0);
    return hr;
  }
  for (;;) {
    HANDLE events[] = {GetRequestHandle(), m_Clock.Event()};
    const DWORD which = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (which == WAIT_OBJECT_0) {
      const DWORD command = GetRequest();
      if (command == CMD_STOP) return S_FALSE;  // ThreadProc answers it
      Reply(static_cast<DWORD>(command == CMD_RUN || command == CMD_PAUSE ? S_OK : E_UNEXPECTED));
      continue;
    }
    if (which != WAIT_OBJECT_0 + 1) return HRESULT_FROM_WIN32(GetLastError());
    hr = ProduceOne();
    if (hr != S_FALSE) return hr;
  }
}

HRESULT CorvaneAudioStream::ProduceOne() {
  ComPtr<IMediaSample> sample;
  if (FAILED(GetDeliveryBuffer(sample.Put(), nullptr, nullptr, 0))) {
    // The deadline has fired and FillBuffer, which sets the next one, did not
    // run: ask for the same (already due) deadline again so the request is
    // retried, while commands are still heard between the attempts.
    Sleep(kBufferRetryMs);
    m_Clock.AdviseAt(m_Timeline.StreamPosition());
    return S_FALSE;
  }
  HRESULT hr = FillBuffer(sample.Get());
  if (hr == S_OK) {
    hr = Deliver(sample.Get());
    // Downstream refused or asked us to stop: wait for the next command.
    return hr == S_OK ? S_FALSE : S_OK;
  }
  sample.Reset();
  DeliverEndOfStream();
  if (hr == S_FALSE) return S_OK;
  m_pFilter->NotifyEvent(EC_ERRORABORT, hr, 0);
  return hr;
}

HRESULT CorvaneAudioStream::FillBuffer(IMediaSample* sample) {
  if (!sample) return E_POINTER;
  telvor::AudioPacket packet;
  // Waiting for a packet only makes sense while a producer's packets can
  // arrive; without one, silence must keep pace with the clock.
  const int checks = m_PacketsFlowing.load() ? kPacketChecks : 1;
  bool havePacket = m_Packets.PopWithin(checks, kPacketPauseMs, &packet);

  BYTE* data = nullptr;
  HRESULT hr = sample->GetPointer(&data);
  if (FAILED(hr)) return hr;
  long written = 0;
  {
    // The reader let go of the slot when it queued the packet; a producer
    // running ahead may have written over it since, or be writing it now.
    telvor::SlotsHold producer(havePacket ? packet.channel : nullptr, kMaxProducerWaitMs);
    if (havePacket && !producer.Held()) {
      if (!m_ProducerBusyLogged) {
        TELVOR_ERROR_OBJ(kUnit, L"CorvaneAudioStream::FillBuffer", this)
            << L"producer kept its mutex over " << kMaxProducerWaitMs << L" ms, silence sent";
        m_ProducerBusyLogged = true;
      }
      havePacket = false;
    }
    if (havePacket) havePacket = m_Packets.SkipRewritten(&packet);
    written = telvor::FillAudioBuffer(havePacket ? &packet : nullptr, data, sample->GetSize(),
                                      m_Connected.wBitsPerSample);
  }

  sample->SetSyncPoint(TRUE);
  sample->SetDiscontinuity(TRUE);
  sample->SetPreroll(FALSE);
  telvor::AudioSpan span = m_Timeline.Advance(written, m_Connected);
  sample->SetMediaTime(&span.mediaStart, &span.mediaStop);
  sample->SetTime(&span.start, &span.stop);
  sample->SetActualDataLength(written);

  // Without a next deadline the stream would stall unnoticed; ending it
  // tells the application.
  hr = m_Clock.AdviseAt(m_Timeline.StreamPosition());
  return FAILED(hr) ? hr : S_OK;
}
