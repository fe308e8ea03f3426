#include "filter/ChannelThread.h"

#include "module/Log.h"

namespace telvor {

ChannelThread::~ChannelThread() { WaitAndClose(); }

void ChannelThread::WaitAndClose() {
  if (!thread_) return;
  WaitForSingleObject(thread_.Get(), INFINITE);
  thread_.Reset();
  threadId_ = 0;
}

bool ChannelThread::Start(LPTHREAD_START_ROUTINE procedure, void* parameter) {
  WaitAndClose();
  DWORD id = 0;
  thread_.Reset(CreateThread(nullptr, 0, procedure, parameter, 0, &id));
  if (!thread_) return false;
  threadId_ = id;
  // The thread gets its queue only once it runs; until then posts fail.
  // A thread that ended before it ever had one cannot be reached at all.
  while (!PostThreadMessageW(threadId_, startMessage_, 0, 0)) {
    if (WaitForSingleObject(thread_.Get(), kPostRetryMs) == WAIT_OBJECT_0) break;
  }
  return true;
}

void ChannelThread::Stop() {
  if (!thread_) return;
  PostThreadMessageW(threadId_, stopMessage_, 0, 0);
  PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
  WaitAndClose();
}

DWORD ChannelThread::RunMessageLoop(const Handlers& handlers, const void* owner) {
  MSG message;
  // Creates the queue at once, so the first post from Start usually succeeds.
  PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  for (;;) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) return static_cast<DWORD>(message.wParam);
    if (got == -1) {
      ErrorObject(handlers.unit, __LINE__, handlers.function, owner) << L"GetMessage error, err=" << GetLastError()
                                                                    << L"\n";
      continue;
    }
    if (message.message == handlers.startMessage) {
      handlers.startChannel(handlers.context);
    } else if (message.message == handlers.stopMessage) {
      handlers.stopChannel(handlers.context);
    }
    DispatchMessageW(&message);
  }
}

}  // namespace telvor
