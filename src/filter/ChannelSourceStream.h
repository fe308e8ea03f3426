// What the video and the audio pin share about their producer's channel.
//
// The channel lives on a thread of its own (ChannelThread), started when a
// connected pin becomes active and ended in Inactive after the streaming
// thread has stopped, so that nothing the streaming thread queued outlives
// the mapped view it points into. Each pin owns its channel in a unique_ptr
// that only the channel thread touches: OpenChannel creates it, CloseChannel
// deletes it, ForgetChannel drops what pointed into it once both threads
// are gone.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <new>

#include "filter/ChannelThread.h"
#include "framework/SourceStream.h"
#include "base/Log.h"

class ChannelSourceStream : public CSourceStream {
 public:
  // --- pin ---
  HRESULT Active() override;
  HRESULT Inactive() override;

  // The channel thread's procedure; `pin` is the pin.
  static DWORD WINAPI KAVOShared_ThreadProc(void* pin);

 protected:
  // `unit` and `threadFunction` name the pin's lines; each pin kind has its
  // own pair of channel-thread messages.
  ChannelSourceStream(const wchar_t* objectName, HRESULT* hr, CSource* filter, const wchar_t* pinName,
                      const wchar_t* unit, const wchar_t* threadFunction, UINT startMessage, UINT stopMessage);

  // Every pin's destructor calls it first: the thread calls into the pin.
  void StopChannelThread() { m_ChannelThread.Stop(); }

  // --- the channel thread ---
  // The open channel (opening it if none is), or null.
  virtual telvor::SharedChannel* OpenChannel(bool quiet) = 0;
  // After it, no slot of the channel is read any more.
  virtual void CloseChannel() = 0;
  // --- Inactive, both threads ended ---
  virtual void ForgetChannel() = 0;

  // Creates and runs camera `index`'s channel with `onFormat` as its format
  // handler; null when there is no producer (logged unless `quiet`).
  template <class Channel, class FormatHandler>
  static std::unique_ptr<Channel> CreateChannel(std::int32_t index, void* user, FormatHandler onFormat,
                                                const wchar_t* kind, bool quiet);

 private:
  const wchar_t* const m_Unit;
  const wchar_t* const m_ThreadFunction;
  const UINT m_StartMessage;
  const UINT m_StopMessage;
  telvor::ChannelThread m_ChannelThread;
};

template <class Channel, class FormatHandler>
std::unique_ptr<Channel> ChannelSourceStream::CreateChannel(std::int32_t index, void* user, FormatHandler onFormat,
                                                            const wchar_t* kind, bool quiet) {
  std::unique_ptr<Channel> channel(new (std::nothrow) Channel());
  if (!channel) {
    telvor::Error() << kind << L"::Create failed, err=" << static_cast<unsigned long>(ERROR_OUTOFMEMORY);
    return nullptr;
  }
  channel->index = index;
  channel->user = user;
  channel->on_format_changed = onFormat;
  // Without a producer the pin streams black or silence; the line says why.
  if (!channel->Create()) {
    const DWORD error = GetLastError();
    if (!quiet) telvor::Error() << kind << L"::Create failed, err=" << static_cast<unsigned long>(error);
    return nullptr;
  }
  if (!channel->Run()) {
    // Kept until the stop message all the same: a reader that took the run
    // command just as the wait gave up may already have queued slots, and
    // the streaming thread may be reading one. An idle channel hands over
    // nothing, so the pin streams black or silence.
    const DWORD error = GetLastError();
    telvor::Error() << kind << L"::Run failed, err=" << static_cast<unsigned long>(error);
  }
  return channel;
}
