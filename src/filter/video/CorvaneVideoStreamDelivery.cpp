// The streaming side of the video pin: one sample per deadline of the
// framework's clock-paced loop, its picture from the frame source.
#include <dshow.h>

#include <cmath>
#include <cstring>
#include <cwchar>

#include "base/Log.h"
#include "filter/video/CorvaneVideoStream.h"
#include "filter/StreamWatch.h"
#include "framework/GraphSound.h"
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
  WarmDeliveryBuffer();
  wchar_t owner[64];
  std::swprintf(owner, 64, L"CorvaneVideoStream 0x%p", static_cast<void*>(this));
  m_PacingLog.Start(owner);
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
  m_PacingLog.Stop();
  m_Watch.Stop();
  m_GuardUse.reset();
  return S_OK;
}

REFERENCE_TIME CorvaneVideoStream::MediaTime(LONGLONG frames) { return frames * m_OutputFormat.frameDuration; }

// FFmpeg counts the pictures of an input from Run only when that input also
// records sound, and then the graph holds a sound stream: ours or another
// device's. Picture-only graphs are spared holds at those periods' edges.
bool CorvaneVideoStream::ClientMayCountFromRun() { return telvor::GraphCarriesSound(m_pFilter->GetFilterGraph()); }

void CorvaneVideoStream::OnRunning() {
  m_Frames.KeepNewest();
  m_PhaseLock.Reset(m_OutputFormat.frameDuration);
}

// The channel is open while the graph is paused, and the graph's start time
// usually lies well after its Run: a producer's frames have often shown
// where they arrive by the first deadline. Placed there at once, the
// deadlines need no later move, which would let a frame be overtaken.
REFERENCE_TIME CorvaneVideoStream::PlaceDeadlines(REFERENCE_TIME lateness) {
  std::int64_t before[VideoFrameSource::kRecentArrivals];
  const int count = m_Frames.RecentArrivals(before, VideoFrameSource::kRecentArrivals);
  const std::int64_t deadline = telvor::CounterNow100ns() - lateness;
  for (int i = 0; i < count; ++i) before[i] = deadline - before[i];
  m_PhaseLock.SetPeriod(m_OutputFormat.frameDuration);
  const REFERENCE_TIME placed = m_PhaseLock.Place(before, count, DeadlineShift());
  if (placed > DeadlineShift()) m_Frames.HoldNewest();
  return placed;
}

void CorvaneVideoStream::OnDeadline(REFERENCE_TIME lateness) {
  m_DeadlineCounter = telvor::CounterNow100ns() - lateness;
  if (m_PacingLog.Enabled()) m_PacingLog.BeginDeadline(static_cast<double>(lateness) / 10000.0);
}

// After the deadline's frame is taken: the deadlines follow where the
// producer's frames arrive (the framework advises the next one after this).
void CorvaneVideoStream::FollowProducer() {
  std::int64_t arrival = 0;
  const bool arrived = m_Frames.TakeArrival(&arrival);
  const std::int64_t before = m_DeadlineCounter - arrival;
  m_PhaseLock.SetPeriod(m_OutputFormat.frameDuration);
  SetDeadlineShift(m_PhaseLock.Update(arrived, before, DeadlineShift()));
  m_PacingLog.NoteArrival(arrived ? static_cast<double>(before) / 10000.0 : std::nan(""),
                          static_cast<double>(DeadlineShift()) / 10000.0);
}

void CorvaneVideoStream::OnDelivered() {
  m_PacingLog.Mark(telvor::PacingLog::kDelivered);
  m_PacingLog.EndDeadline();
  m_Watch.Delivered();
}

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
  m_PacingLog.Mark(telvor::PacingLog::kBuffer);
  ApplySampleMediaType(sample);
  BYTE* buffer = nullptr;
  if (SUCCEEDED(sample->GetPointer(&buffer)) && buffer) {
    m_Frames.WaitForLateFrames(!m_PhaseLock.SeesAnotherRate());
    const long length = m_Frames.Fill(buffer, sample->GetSize(), &m_PacingLog);
    FollowProducer();
    if (length == VideoFrameSource::kSkipped) return kSkipSample;
    if (length >= 0) sample->SetActualDataLength(length);
  }
  sample->SetSyncPoint(TRUE);
  sample->SetDiscontinuity(TRUE);
  sample->SetPreroll(FALSE);
  return S_OK;
}
