#include "framework/SourceStream.h"

#include <evcode.h>

#include <algorithm>
#include <utility>

#include "base/Log.h"
#include "framework/Source.h"

CSourceStream::CSourceStream(const wchar_t* objectName, HRESULT* hr, CSource* filter, const wchar_t* pinName)
    : CAMThread(hr),
      CBaseOutputPin(objectName, filter, filter->pStateLock(), hr, pinName),
      m_pFilter(filter),
      m_Clock(L"CSourceStream", L"CSourceStream::DoBufferProcessingLoop", this),
      m_RunChanged(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
  if (!m_RunChanged && hr && SUCCEEDED(*hr)) *hr = HRESULT_FROM_WIN32(GetLastError());
  HRESULT added = filter->AddPin(this);
  if (FAILED(added) && hr && SUCCEEDED(*hr)) *hr = added;
}

CSourceStream::~CSourceStream() { m_pFilter->RemovePin(this); }

// --- thread side ---

DWORD CSourceStream::ThreadProc() {
  DWORD command;
  while ((command = GetRequest()) != CMD_INIT) Reply(static_cast<DWORD>(E_UNEXPECTED));

  HRESULT hr = OnThreadCreate();
  if (FAILED(hr)) {
    OnThreadDestroy();
    Reply(static_cast<DWORD>(hr));
    return 1;
  }
  Reply(S_OK);

  do {
    command = GetRequest();
    switch (command) {
      case CMD_PAUSE:
      case CMD_RUN:
        Reply(S_OK);
        DoBufferProcessingLoop();
        break;
      case CMD_STOP:
      case CMD_EXIT:
        Reply(S_OK);
        break;
      default:
        Reply(static_cast<DWORD>(E_NOTIMPL));
        break;
    }
  } while (command != CMD_EXIT);

  return FAILED(OnThreadDestroy()) ? 1 : 0;
}

HRESULT CSourceStream::OnThreadCreate() { return S_OK; }

HRESULT CSourceStream::OnThreadDestroy() { return S_OK; }

HRESULT CSourceStream::OnThreadStartPlay() { return S_OK; }
LONGLONG CSourceStream::MediaLength(IMediaSample*) { return 1; }
void CSourceStream::OnRunning() {}
void CSourceStream::OnDelivered() {}

bool CSourceStream::HandleCommandWhileStreaming(DWORD command) {
  if (command == CMD_STOP) return true;  // ThreadProc answers it
  Reply(static_cast<DWORD>(command == CMD_RUN || command == CMD_PAUSE ? S_OK : E_UNEXPECTED));
  return false;
}

REFERENCE_TIME CSourceStream::StreamTimeAt(LONGLONG mediaPosition) {
  return m_SegmentTime + MediaTime(mediaPosition - m_SegmentMedia);
}

void CSourceStream::TakeRunRequest() {
  bool wanted;
  REFERENCE_TIME start;
  ComPtr<IReferenceClock> clock;
  LONG count;
  bool countFromRun;
  {
    CAutoLock lock(&m_RunLock);
    wanted = m_RunWanted;
    start = m_RunStart;
    countFromRun = m_RunCountsFromRun;
    clock = m_RunClock;
    count = m_RunCount;
  }
  if (wanted && (!m_Running || count != m_RunCountSeen)) {
    m_RunCountSeen = count;
    const HRESULT hr = StartRunning(start, clock.Get(), countFromRun);
    if (FAILED(hr)) {
      m_Running = false;
      m_pFilter->NotifyEvent(EC_ERRORABORT, hr, 0);
    }
  } else if (!wanted && m_Running) {
    m_Running = false;
    m_Clock.Cancel();
  }
}

HRESULT CSourceStream::StartRunning(REFERENCE_TIME start, IReferenceClock* clock, bool countFromRun) {
  // The graph's clock is what tStart is counted on; without one the stream
  // starts now on a clock of our own.
  HRESULT hr = m_Clock.Start(telvor::StreamClock::Source::kSystemClock, clock);
  if (FAILED(hr)) return hr;
  m_Clock.Cancel();  // Start's own first deadline is not this stream's
  m_Clock.Rebase(clock ? start : m_Clock.Now());
  const REFERENCE_TIME present = std::max<REFERENCE_TIME>(m_Clock.Now() - m_Clock.BaseTime(), 0);
  m_SegmentTime = std::max(StreamTimeAt(m_MediaPosition), present);
  m_SegmentMedia = m_MediaPosition;
  m_Running = true;
  m_PlacePending = m_Pacing != nullptr;
  if (m_Pacing) m_Pacing->Running(countFromRun);
  OnRunning();
  return AdviseFor(m_SegmentTime);
}

HRESULT CSourceStream::EndStream(HRESULT hr) {
  DeliverEndOfStream();
  if (hr == S_FALSE) return S_OK;
  m_pFilter->NotifyEvent(EC_ERRORABORT, hr, 0);
  return hr;
}

HRESULT CSourceStream::DoBufferProcessingLoop() {
  m_Running = false;
  m_MediaPosition = m_SegmentMedia = 0;
  m_SegmentTime = 0;
  m_DeadlineShift = 0;
  m_RunCountSeen = 0;
  HRESULT hr = OnThreadStartPlay();
  if (FAILED(hr)) return EndStream(hr);
  TakeRunRequest();  // the filter may be running already
  for (;;) {
    HANDLE events[3] = {GetRequestHandle(), m_RunChanged.Get(), m_Clock.Event()};
    const DWORD wait = WaitForMultipleObjects(m_Running ? 3 : 2, events, FALSE, INFINITE);
    if (wait == WAIT_OBJECT_0 + 1) {
      TakeRunRequest();
      continue;
    }
    if (wait == WAIT_OBJECT_0) {
      DWORD command;
      if (CheckRequest(&command) && HandleCommandWhileStreaming(command)) {
        hr = S_FALSE;
        break;
      }
      continue;
    }
    if (wait != WAIT_OBJECT_0 + 2) {
      hr = HRESULT_FROM_WIN32(GetLastError());
      break;
    }
    bool ended = false;
    hr = ProduceOne(&ended);
    if (ended) break;
    // No next deadline means no next wake-up: end the stream with the
    // reason rather than wait for good.
    if (FAILED(hr)) {
      hr = EndStream(hr);
      break;
    }
  }
  m_Running = false;
  m_NextSample.Reset();
  m_Clock.Stop();
  return hr;
}

// A live picture woken more than half a period late lets that deadline go,
// as a camera drops a frame, and waits for the next one. Clients that time
// video by its arrival (FFmpeg does) would otherwise see a late frame and
// the punctual one after it in the same period, give both the same time
// and refuse the second. Sound catches up sample by sample, but not over a
// gap longer than any busy machine makes: there the clock jumped (a machine
// that slept) and the gap would go out as fast as the stream can go.
// True when the position moved on.
bool CSourceStream::SkipLateDeadline() {
  const REFERENCE_TIME unit = MediaTime(1);
  if (unit <= 0) return false;
  const REFERENCE_TIME late =
      m_Clock.Now() - (m_Clock.BaseTime() + StreamTimeAt(m_MediaPosition) + m_DeadlineShift);
  if (late <= (m_SkipsLateDeadlines ? unit / 2 : kLongestCatchUp)) return false;
  if (!m_SkipsLateDeadlines) {
    telvor::ErrorObject(L"SourceStream", __LINE__, L"CSourceStream::SkipLateDeadline", this)
        << L"deadline " << late / 10000 << L" ms late: the clock jumped ahead; streaming resumes at the present";
  }
  m_MediaPosition += late / unit + 1;
  return true;
}

// False when the picture is dropped.
bool CSourceStream::HoldUntilItsOwnPeriod() {
  if (!m_Pacing) return true;
  const REFERENCE_TIME hold = m_Pacing->HoldFor(m_Clock.Now() - m_Clock.BaseTime(), MediaTime(1));
  if (hold == StreamPacing::kDrop) return false;
  if (hold > 0) Sleep(static_cast<DWORD>((hold + 9999) / 10000));
  m_Pacing->Sent(m_Clock.Now() - m_Clock.BaseTime());
  return true;
}

HRESULT CSourceStream::ProduceOne(bool* ended) {
  if (m_PlacePending) {
    // Only later: an earlier place for this deadline has already gone by.
    m_PlacePending = false;
    const REFERENCE_TIME due = m_Clock.BaseTime() + StreamTimeAt(m_MediaPosition) + m_DeadlineShift;
    const REFERENCE_TIME placed = m_Pacing->Place(m_Clock.Now() - due, m_DeadlineShift);
    if (placed > m_DeadlineShift) {
      SetDeadlineShift(placed);
      return AdviseFor(StreamTimeAt(m_MediaPosition));
    }
  }
  if (SkipLateDeadline()) return AdviseFor(StreamTimeAt(m_MediaPosition));
  const REFERENCE_TIME start = StreamTimeAt(m_MediaPosition);
  if (m_Pacing) m_Pacing->Deadline(m_Clock.Now() - (m_Clock.BaseTime() + start + m_DeadlineShift));
  ComPtr<IMediaSample> sample = std::move(m_NextSample);
  if (!sample && FAILED(GetDeliveryBuffer(sample.Put(), nullptr, nullptr, 0))) {
    // Usually a stop decommitting the allocator: its command is next. If not,
    // the same deadline is asked for again so that production resumes by
    // itself, while commands are still heard between the attempts.
    Sleep(1);
    return AdviseFor(start);
  }
  HRESULT hr = FillBuffer(sample.Get());
  // What the fill saw may move the deadlines, from the next one on.
  if (m_Pacing && (hr == S_OK || hr == kSkipSample)) SetDeadlineShift(m_Pacing->Follow(m_DeadlineShift));
  if (hr == kSkipSample) {
    m_MediaPosition += std::max<LONGLONG>(MediaLength(sample.Get()), 0);
    return AdviseFor(StreamTimeAt(m_MediaPosition));
  }
  if (hr != S_OK) {
    sample.Reset();
    *ended = true;
    return EndStream(hr);
  }
  const LONGLONG length = std::max<LONGLONG>(MediaLength(sample.Get()), 1);
  REFERENCE_TIME startTime = start;
  REFERENCE_TIME stopTime = StreamTimeAt(m_MediaPosition + length);
  LONGLONG mediaStart = m_MediaPosition;
  LONGLONG mediaStop = m_MediaPosition + length;
  sample->SetTime(&startTime, &stopTime);
  sample->SetMediaTime(&mediaStart, &mediaStop);
  m_MediaPosition = mediaStop;
  AdviseFor(stopTime);
  if (m_SkipsLateDeadlines && !HoldUntilItsOwnPeriod()) return S_OK;
  hr = Deliver(sample.Get());
  sample.Reset();
  if (m_Pacing) m_Pacing->Delivered();
  OnDelivered();
  if (m_SkipsLateDeadlines && hr == S_OK &&
      FAILED(GetDeliveryBuffer(m_NextSample.Put(), nullptr, nullptr, AM_GBF_NOWAIT)))
    m_NextSample.Reset();
  // Downstream refused or asked us to stop: wait for the next command.
  *ended = hr != S_OK;
  return S_OK;
}

HRESULT CSourceStream::GetMediaType(CMediaType*) { return E_UNEXPECTED; }

// --- pin side ---

HRESULT CSourceStream::Active() {
  CAutoLock lock(m_pFilter->pStateLock());
  if (m_pFilter->IsActive()) return S_FALSE;
  if (!IsConnected()) return S_OK;
  HRESULT hr = CBaseOutputPin::Active();
  if (FAILED(hr)) return hr;
  SetRunRequest(false, 0);
  if (!Create()) return E_FAIL;
  hr = Command(CMD_INIT);
  if (FAILED(hr)) {
    Close();  // the thread has already ended after reporting the failure
    return hr;
  }
  return Command(CMD_PAUSE);
}

HRESULT CSourceStream::Inactive() {
  CAutoLock lock(m_pFilter->pStateLock());
  if (!IsConnected()) return S_OK;
  HRESULT result = CBaseOutputPin::Inactive();
  if (ThreadExists()) {
    HRESULT hr = Command(CMD_STOP);
    if (SUCCEEDED(result)) result = hr;
    hr = Command(CMD_EXIT);
    if (SUCCEEDED(result)) result = hr;
    Close();
  }
  return FAILED(result) ? result : S_OK;
}

// Both under the filter's state lock.
HRESULT CSourceStream::Run(REFERENCE_TIME start) {
  SetRunRequest(true, start, !m_SkipsLateDeadlines || ClientMayCountFromRun());
  return S_OK;
}

HRESULT CSourceStream::Suspend() {
  SetRunRequest(false, 0);
  return S_OK;
}

void CSourceStream::SetRunRequest(bool running, REFERENCE_TIME start, bool countFromRun) {
  {
    CAutoLock lock(&m_RunLock);
    m_RunWanted = running;
    if (running) {
      m_RunStart = start;
      m_RunCountsFromRun = countFromRun;
      m_RunClock.Reset();
      m_pFilter->GetSyncSource(m_RunClock.Put());
      ++m_RunCount;
    }
  }
  SetEvent(m_RunChanged.Get());
}

HRESULT CSourceStream::CheckMediaType(const CMediaType* type) {
  if (!type) return E_POINTER;
  CAutoLock lock(m_pFilter->pInfoLock());
  CMediaType single;
  if (FAILED(GetMediaType(&single))) return E_FAIL;
  return single == *type ? S_OK : E_FAIL;
}

HRESULT CSourceStream::GetMediaType(int position, CMediaType* type) {
  if (!type) return E_POINTER;
  CAutoLock lock(m_pFilter->pInfoLock());
  if (position < 0) return E_INVALIDARG;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  return GetMediaType(type);
}
