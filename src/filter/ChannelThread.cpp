#include "filter/ChannelThread.h"

#include "base/Log.h"
#include "base/ModuleThread.h"
#include "transport/SharedChannel.h"

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
  thread_.Reset(CreateModuleThread(procedure, parameter, &id));
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

namespace {

// The channel-thread side of one pin's channel: which channel is open and
// whether the pin wants one.
class ChannelKeeper {
 public:
  ChannelKeeper(const ChannelThread::Handlers& handlers, const void* owner) : handlers_(handlers), owner_(owner) {}

  void Start() {
    wanted_ = true;
    Look(false);
  }
  void Stop() {
    if (!wanted_) return;
    handlers_.stopChannel(handlers_.context);
    open_ = nullptr;
    wanted_ = false;
  }
  bool Wanted() const { return wanted_; }

  // Every kLookMs while wanted.
  void Tick() {
    if (!open_) {
      Look(true);
    } else if (open_->ProducerGone()) {
      handlers_.stopChannel(handlers_.context);
      open_ = nullptr;
      quickUntil_ = GetTickCount64() + ChannelThread::kQuickLookPeriodMs;
      TraceObject(handlers_.unit, __LINE__, handlers_.function, owner_) << L" producer gone, channel closed";
    }
  }
  DWORD LookInterval() const {
    return !open_ && GetTickCount64() < quickUntil_ ? ChannelThread::kQuickLookMs : ChannelThread::kLookMs;
  }

 private:
  void Look(bool retry) {
    open_ = handlers_.startChannel(handlers_.context, retry);
    if (open_ && retry) {
      TraceObject(handlers_.unit, __LINE__, handlers_.function, owner_) << L" producer appeared, channel open";
    }
  }

  const ChannelThread::Handlers& handlers_;
  const void* owner_;
  SharedChannel* open_ = nullptr;
  bool wanted_ = false;
  ULONGLONG quickUntil_ = 0;
};

}  // namespace

DWORD ChannelThread::RunMessageLoop(const Handlers& handlers, const void* owner) {
  ChannelKeeper keeper(handlers, owner);
  MSG message;
  // Creates the queue at once, so the first post from Start usually succeeds.
  PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  ULONGLONG nextLook = 0;
  for (;;) {
    DWORD timeout = INFINITE;
    if (keeper.Wanted()) {
      const ULONGLONG now = GetTickCount64();
      if (now >= nextLook) {
        keeper.Tick();
        nextLook = now + keeper.LookInterval();
      }
      timeout = static_cast<DWORD>(nextLook - now);
    }
    if (MsgWaitForMultipleObjects(0, nullptr, FALSE, timeout, QS_ALLINPUT) == WAIT_FAILED) {
      ErrorObject(handlers.unit, __LINE__, handlers.function, owner) << L"GetMessage error, err=" << GetLastError()
                                                                   << L"\n";
      Sleep(kLookMs);
    }
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        keeper.Stop();
        return static_cast<DWORD>(message.wParam);
      }
      if (message.message == handlers.startMessage) {
        keeper.Start();
        nextLook = GetTickCount64() + kLookMs;
      } else if (message.message == handlers.stopMessage) {
        keeper.Stop();
      }
      DispatchMessageW(&message);
    }
  }
}

}  // namespace telvor
