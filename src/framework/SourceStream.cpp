#include "framework/SourceStream.h"

#include <evcode.h>

#include "framework/Source.h"

CSourceStream::CSourceStream(const wchar_t* objectName, HRESULT* hr, CSource* filter, const wchar_t* pinName)
    : CAMThread(hr), CBaseOutputPin(objectName, filter, filter->pStateLock(), hr, pinName), m_pFilter(filter) {
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

bool CSourceStream::HandleCommandWhileStreaming(DWORD command) {
  if (command == CMD_STOP) return true;  // ThreadProc answers it
  Reply(static_cast<DWORD>(command == CMD_RUN || command == CMD_PAUSE ? S_OK : E_UNEXPECTED));
  return false;
}

HRESULT CSourceStream::DoBufferProcessingLoop() {
  OnThreadStartPlay();
  for (;;) {
    DWORD command;
    if (CheckRequest(&command)) {
      if (HandleCommandWhileStreaming(command)) return S_FALSE;
      continue;
    }
    ComPtr<IMediaSample> sample;
    if (FAILED(GetDeliveryBuffer(sample.Put(), nullptr, nullptr, 0))) {
      Sleep(1);
      continue;
    }
    HRESULT hr = FillBuffer(sample.Get());
    if (hr == S_OK) {
      hr = Deliver(sample.Get());
      sample.Reset();
      // Downstream refused or asked us to stop: wait for the next command.
      if (hr != S_OK) return S_OK;
      continue;
    }
    sample.Reset();
    DeliverEndOfStream();
    if (hr == S_FALSE) return S_OK;
    m_pFilter->NotifyEvent(EC_ERRORABORT, hr, 0);
    return hr;
  }
}

HRESULT CSourceStream::GetMediaType(CMediaType*) { return E_UNEXPECTED; }

// --- pin side ---

HRESULT CSourceStream::Active() {
  CAutoLock lock(m_pFilter->pStateLock());
  if (m_pFilter->IsActive()) return S_FALSE;
  if (!IsConnected()) return S_OK;
  HRESULT hr = CBaseOutputPin::Active();
  if (FAILED(hr)) return hr;
  if (!Create()) return E_FAIL;
  hr = Init();
  if (FAILED(hr)) {
    Close();  // the thread has already ended after reporting the failure
    return hr;
  }
  return Pause();
}

HRESULT CSourceStream::Inactive() {
  CAutoLock lock(m_pFilter->pStateLock());
  if (!IsConnected()) return S_OK;
  HRESULT result = CBaseOutputPin::Inactive();
  if (ThreadExists()) {
    HRESULT hr = Stop();
    if (SUCCEEDED(result)) result = hr;
    hr = Exit();
    if (SUCCEEDED(result)) result = hr;
    Close();
  }
  return FAILED(result) ? result : S_OK;
}

HRESULT CSourceStream::CheckMediaType(const CMediaType* type) {
  if (!type) return E_POINTER;
  CAutoLock lock(m_pFilter->pStateLock());
  CMediaType single;
  if (FAILED(GetMediaType(&single))) return E_FAIL;
  return single == *type ? S_OK : E_FAIL;
}

HRESULT CSourceStream::GetMediaType(int position, CMediaType* type) {
  if (!type) return E_POINTER;
  CAutoLock lock(m_pFilter->pStateLock());
  if (position < 0) return E_INVALIDARG;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  return GetMediaType(type);
}
