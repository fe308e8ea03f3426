// The audio pin's streaming thread: one buffer per clock deadline, each
// deadline set where the audio delivered so far ends.
#include "filter/CorvaneAudioStream.h"

#include <evcode.h>

#include "framework/ComPtr.h"

namespace {
// About 6 ms of looking for a late packet before silence goes out instead:
// short enough that a silent buffer (5.3 ms) still leaves the clock ahead.
constexpr int kPacketChecks = 7;
constexpr DWORD kPacketPauseMs = 1;
// Pause before asking a busy or not yet usable allocator again.
constexpr DWORD kBufferRetryMs = 1;
}  // namespace

HRESULT CorvaneAudioStream::OnThreadStartPlay() {
  m_Timeline.Reset();
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
  const bool havePacket = m_Packets.PopWithin(checks, kPacketPauseMs, &packet);

  BYTE* data = nullptr;
  HRESULT hr = sample->GetPointer(&data);
  if (FAILED(hr)) return hr;
  const long written = telvor::FillAudioBuffer(havePacket ? &packet : nullptr, data, sample->GetSize(),
                                               m_Connected.wBitsPerSample);

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
