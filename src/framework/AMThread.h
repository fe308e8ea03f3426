// A worker thread that takes one command at a time from its callers.
//
// A caller's CallWorker(command) blocks until the worker answers with
// Reply(value). The worker takes commands with GetRequest (blocking) or
// CheckRequest (polling). The command event stays signalled from CallWorker
// until Reply, so a worker loop may wait on GetRequestHandle() together with
// its own handles and then read the command with GetRequest or CheckRequest:
//
//   HANDLE events[] = {GetRequestHandle(), clockEvent};
//   switch (WaitForMultipleObjects(2, events, FALSE, INFINITE)) {
//     case WAIT_OBJECT_0: { DWORD command = GetRequest(); ... Reply(S_OK) or return; }
//     case WAIT_OBJECT_0 + 1: produce one buffer ...
//   }
#pragma once

#include <windows.h>

#include "base/Handle.h"

class CAMThread {
 public:
  // Writes E_OUTOFMEMORY (or the Win32 error) into *hr when its events
  // cannot be created; Create then fails.
  explicit CAMThread(HRESULT* hr = nullptr);
  // The thread body; its return value becomes the thread's exit code.
  virtual DWORD ThreadProc() = 0;
  // Waits for a still running thread: the subclass must have told it to end.
  virtual ~CAMThread();
  CAMThread(const CAMThread&) = delete;
  CAMThread& operator=(const CAMThread&) = delete;

  // Starts the thread; false if it already exists or cannot start.
  bool Create();
  // Sends a command and returns the worker's reply. E_FAIL when no thread
  // exists, or when the thread ends without answering.
  DWORD CallWorker(DWORD command);
  // Waits for the thread to end and closes its handle.
  void Close();
  bool ThreadExists() const { return static_cast<bool>(m_hThread); }

  // --- worker side ---
  // Blocks for the pending command (the same one until it is answered).
  DWORD GetRequest();
  // True and the command when one is pending; false at once otherwise.
  bool CheckRequest(DWORD* command);
  // Answers the pending command.
  void Reply(DWORD value);
  // Signalled while a command waits for its reply.
  HANDLE GetRequestHandle() const { return m_EventSend.Get(); }
  DWORD GetRequestParam() const { return m_dwParam; }

 protected:
  // Serialises callers: one command in flight at a time.
  CCritSec m_AccessLock;

 private:
  static DWORD WINAPI InitialThreadProc(LPVOID self);

  UniqueHandle m_hThread;
  UniqueHandle m_EventSend;      // manual reset: set by CallWorker, cleared by Reply
  UniqueHandle m_EventComplete;  // auto reset: set by Reply
  volatile DWORD m_dwParam = 0;
  volatile DWORD m_dwReturnVal = 0;
};
