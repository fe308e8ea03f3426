// The thread on which a pin opens, runs and closes its shared-memory channel.
//
// A channel must be created and destroyed on one thread that never waits for
// the streaming thread, and the graph's state changes must not block on the
// producer's objects, so each active pin keeps a small message-loop thread
// for it: Active posts "start channel", Inactive posts "stop channel" and
// then WM_QUIT. Each pin names its own thread procedure (for its log lines)
// and runs RunMessageLoop inside it with its handlers.
//
// Producers come and go while a camera streams: users start their producer
// after the application, and restart it. Between the two messages the loop
// looks for the producer's channel every kLookMs while none is open, and
// closes an open one whose producer has gone (so that the picture does not
// freeze on its last frame and a new producer is followed). For a while
// after a producer went it looks every kQuickLookMs: most come straight back
// (a producer reopening its channel at another size). One line is
// logged when a producer appears and one when it goes, none per attempt.
#pragma once

#include <windows.h>

#include "base/Handle.h"

namespace telvor {

class SharedChannel;

class ChannelThread {
 public:
  static constexpr UINT kStartChannel = WM_APP + 0x10;
  static constexpr UINT kStopChannel = WM_APP + 0x11;
  static constexpr DWORD kPostRetryMs = 100;
  static constexpr DWORD kLookMs = 250;
  static constexpr DWORD kQuickLookMs = 25;
  static constexpr DWORD kQuickLookPeriodMs = 3000;

  // What the loop calls, on the channel thread; and where its lines go.
  struct Handlers {
    // Opens and starts the producer's channel: the open channel, or null.
    // `quiet` for the retries, which log nothing.
    SharedChannel* (*startChannel)(void* context, bool quiet);
    // Closes the channel; after it no slot of it is read any more.
    void (*stopChannel)(void* context);
    void* context;
    const wchar_t* unit;
    const wchar_t* function;
    // Each pin kind has its own pair of message ids.
    UINT startMessage = kStartChannel;
    UINT stopMessage = kStopChannel;
  };

  ChannelThread() = default;
  ChannelThread(UINT startMessage, UINT stopMessage) : startMessage_(startMessage), stopMessage_(stopMessage) {}
  // Waits without limit for a thread still running; its owner must have
  // stopped it (Stop) or be about to.
  ~ChannelThread();
  ChannelThread(const ChannelThread&) = delete;
  ChannelThread& operator=(const ChannelThread&) = delete;

  // Active side: waits for a previous thread to end, starts procedure(parameter)
  // and posts it the start message, retrying every 100 ms until its queue
  // exists. False (with GetLastError set) when no thread could be created.
  bool Start(LPTHREAD_START_ROUTINE procedure, void* parameter);
  // Inactive side: posts the stop message and WM_QUIT, waits for the thread
  // to end and closes it. Nothing happens without a thread.
  void Stop();

  DWORD ThreadId() const { return threadId_; }
  bool Running() const { return static_cast<bool>(thread_); }

  // The body of a channel thread: serves messages until WM_QUIT and returns
  // its parameter. A failing GetMessageW is logged and the loop goes on.
  static DWORD RunMessageLoop(const Handlers& handlers, const void* owner);

 private:
  void WaitAndClose();

  UniqueHandle thread_;
  DWORD threadId_ = 0;
  UINT startMessage_ = kStartChannel;
  UINT stopMessage_ = kStopChannel;
};

}  // namespace telvor
