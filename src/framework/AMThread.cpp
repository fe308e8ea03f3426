#include "framework/AMThread.h"

#include "base/ModuleThread.h"

CAMThread::CAMThread(HRESULT* hr)
    : m_EventSend(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_EventComplete(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
  if ((!m_EventSend || !m_EventComplete) && hr && SUCCEEDED(*hr)) {
    DWORD error = GetLastError();
    *hr = error ? HRESULT_FROM_WIN32(error) : E_OUTOFMEMORY;
  }
}

CAMThread::~CAMThread() { Close(); }

bool CAMThread::Create() {
  CAutoLock lock(&m_AccessLock);
  if (ThreadExists() || !m_EventSend || !m_EventComplete) return false;
  ResetEvent(m_EventSend.Get());
  ResetEvent(m_EventComplete.Get());
  DWORD id = 0;
  m_hThread.Reset(telvor::CreateModuleThread(&CAMThread::InitialThreadProc, this, &id));
  return ThreadExists();
}

DWORD WINAPI CAMThread::InitialThreadProc(LPVOID self) { return static_cast<CAMThread*>(self)->ThreadProc(); }

DWORD CAMThread::CallWorker(DWORD command) {
  CAutoLock lock(&m_AccessLock);
  if (!ThreadExists()) return static_cast<DWORD>(E_FAIL);
  m_dwParam = command;
  SetEvent(m_EventSend.Get());
  // Watching the thread too means a worker that dies without answering
  // cannot hang its caller (and with it the whole graph) forever.
  HANDLE waits[] = {m_EventComplete.Get(), m_hThread.Get()};
  DWORD which = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  if (which != WAIT_OBJECT_0) {
    ResetEvent(m_EventSend.Get());
    return static_cast<DWORD>(E_FAIL);
  }
  return m_dwReturnVal;
}

void CAMThread::Close() {
  if (!ThreadExists()) return;
  WaitForSingleObject(m_hThread.Get(), INFINITE);
  m_hThread.Reset();
}

DWORD CAMThread::GetRequest() {
  WaitForSingleObject(m_EventSend.Get(), INFINITE);
  return m_dwParam;
}

bool CAMThread::CheckRequest(DWORD* command) {
  if (WaitForSingleObject(m_EventSend.Get(), 0) != WAIT_OBJECT_0) return false;
  if (command) *command = m_dwParam;
  return true;
}

void CAMThread::Reply(DWORD value) {
  m_dwReturnVal = value;
  // Cleared before the caller wakes, so its next command cannot be lost.
  ResetEvent(m_EventSend.Get());
  SetEvent(m_EventComplete.Get());
}
