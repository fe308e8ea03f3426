// The streaming side of the video pin: one sample per deadline of the
// framework's clock-paced loop, its picture from the frame source.
#include <dshow.h>

#include <cstring>
#include <cwchar>

#include "base/Log.h"
#include "filter/video/CorvaneVideoStream.h"
#include "filter/StreamWatch.h"
#include "filter/GraphSound.h"
#include "framework/MediaTypeDump.h"
#include "framework/Source.h"

// The channel's reader rebuilds the converter from the output format at any
// time; the frame source keeps its own copy under its converter lock.
void CorvaneVideoStream::UseOutputFormat(const OutputFormat& format) {
  m_OutputFormat = format;
  m_Frames.SetOutput(format);
}

void CorvaneVideoStream::ResetScaler() { m_Frames.Rebuild(); }

// --- streaming thread ---

HRESULT CorvaneVideoStream::OnThreadCreate() {
  // Frames are converted under the access guard; its handler stays for the
  // streaming thread's life.
  m_GuardUse.emplace();
  return S_OK;
}

HRESULT CorvaneVideoStream::OnThreadStartPlay() {
  m_Frames.Restart();
  m_Pacing.ForgetArrivals();
  WarmDeliveryBuffer();
  wchar_t owner[64];
  std::swprintf(owner, 64, L"CorvaneVideoStream 0x%p", static_cast<void*>(this));
  m_Pacing.Log().Start(owner);
  m_Watch.Start(static_cast<int>(m_CameraIndex), telvor::VideoWatchFormat(m_OutputFormat));
  return S_OK;
}

// An allocator's memory is often untouched until the first picture is
// written into it. Faulting in a 1080p buffer then made that picture about
// 7 ms late, and a client that counts pictures from the first one's arrival
// then sees every later one near the edge of its period (each was held back
// to stay in a period of its own). Touched while paused, it costs nothing.
void CorvaneVideoStream::WarmDeliveryBuffer() {
  ComPtr<IMediaSample> sample;
  if (FAILED(GetDeliveryBuffer(sample.Put(), nullptr, nullptr, 0))) return;
  BYTE* data = nullptr;
  const long size = sample->GetSize();
  if (SUCCEEDED(sample->GetPointer(&data)) && data && size > 0) std::memset(data, 0, static_cast<size_t>(size));
}

HRESULT CorvaneVideoStream::OnThreadDestroy() {
  m_Pacing.Log().Stop();
  m_Watch.Stop();
  m_GuardUse.reset();
  return S_OK;
}

REFERENCE_TIME CorvaneVideoStream::MediaTime(LONGLONG frames) { return frames * m_OutputFormat.frameDuration; }

// FFmpeg counts the pictures of an input from Run only when that input also
// records sound, and then the graph holds a sound stream: ours or another
// device's. Picture-only graphs are spared holds at those periods' edges.
bool CorvaneVideoStream::ClientMayCountFromRun() { return telvor::GraphCarriesSound(m_pFilter->GetFilterGraph()); }

void CorvaneVideoStream::OnRunning() { m_Frames.KeepNewest(); }

// Placed by the latest frames' arrivals, at the camera's frame period.
int CorvaneVideoStream::PlacingArrivals(const telvor::ProducerPacing& pacing, std::int64_t* arrivals, int max,
                                        std::int64_t* period) {
  *period = m_OutputFormat.frameDuration;
  return pacing.RecentArrivals(arrivals, max);
}

// Frames queued before a deadline placed later are a period old, but for the
// newest when the deadline sits just after it: taking that one away too left
// the deadline waiting for a newer frame that comes a period later.
void CorvaneVideoStream::PlacedLater(bool newestDue) {
  if (newestDue) {
    m_Frames.KeepNewest();
  } else {
    m_Frames.HoldNewest();
  }
}

void CorvaneVideoStream::OnDelivered() { m_Watch.Delivered(); }

void CorvaneVideoStream::ApplySampleMediaType(IMediaSample* sample) {
  AM_MEDIA_TYPE* attached = nullptr;
  if (sample->GetMediaType(&attached) != S_OK || !attached) return;
  telvor::Trace() << L"--------- OUTPUT change media type ---------\n";
  DumpMediaType(attached);
  telvor::Trace() << L"--------------------------------------------\n";
  CMediaType type(*attached);
  DeleteMediaType(attached);
  // The type is the state lock's, which applications hold while they read or
  // replace it. Waiting for it outright could deadlock with a stop, which
  // holds it while it waits for this thread: a pending command wins, and the
  // sample goes out in the old format as the stream ends.
  CCritSec* state = m_pFilter->pStateLock();
  DWORD command;
  while (!state->TryLock()) {
    if (CheckRequest(&command)) return;
    Sleep(1);
  }
  SetMediaType(&type);
  state->Unlock();
}

HRESULT CorvaneVideoStream::FillBuffer(IMediaSample* sample) {
  m_Pacing.Log().Mark(telvor::PacingLog::kBuffer);
  ApplySampleMediaType(sample);
  BYTE* buffer = nullptr;
  if (SUCCEEDED(sample->GetPointer(&buffer)) && buffer) {
    m_Frames.WaitForLateFrames(!m_Pacing.SeesAnotherRate());
    const long length = m_Frames.Fill(buffer, sample->GetSize(), &m_Pacing.Log());
    // Every deadline with a buffer says where the producer's frames arrive.
    m_Pacing.Filled(true, m_OutputFormat.frameDuration);
    if (length == VideoFrameSource::kSkipped) return kSkipSample;
    if (length >= 0) sample->SetActualDataLength(length);
  }
  sample->SetSyncPoint(TRUE);
  sample->SetDiscontinuity(TRUE);
  sample->SetPreroll(FALSE);
  return S_OK;
}
