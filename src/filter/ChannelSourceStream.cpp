#include "filter/ChannelSourceStream.h"

ChannelSourceStream::ChannelSourceStream(const wchar_t* objectName, HRESULT* hr, CSource* filter,
                                         const wchar_t* pinName, const wchar_t* unit,
                                         const wchar_t* threadFunction, UINT startMessage, UINT stopMessage)
    : CSourceStream(objectName, hr, filter, pinName),
      m_Unit(unit),
      m_ThreadFunction(threadFunction),
      m_StartMessage(startMessage),
      m_StopMessage(stopMessage),
      m_ChannelThread(startMessage, stopMessage) {}

HRESULT ChannelSourceStream::Active() {
  const HRESULT hr = CSourceStream::Active();
  if (FAILED(hr)) return hr;
  // S_FALSE: already active, the channel thread is running. An unconnected
  // pin streams nothing and needs no channel.
  if (hr == S_OK && IsConnected() && !m_ChannelThread.Start(&ChannelSourceStream::KAVOShared_ThreadProc, this)) {
    TELVOR_ERROR_OBJ(m_Unit, m_ThreadFunction, this)
        << L"channel thread not started, err=" << static_cast<unsigned long>(GetLastError());
  }
  return S_OK;
}

HRESULT ChannelSourceStream::Inactive() {
  // The streaming thread has ended even when the base failed (an allocator
  // that would not decommit); the channel thread must end too, or the next
  // Active waits for it forever with the filter's lock held.
  const HRESULT hr = CSourceStream::Inactive();
  m_ChannelThread.Stop();
  // The mapped view is gone: drop the references into it now rather than
  // at the next start.
  ForgetChannel();
  return FAILED(hr) ? hr : S_OK;
}

DWORD WINAPI ChannelSourceStream::KAVOShared_ThreadProc(void* pin) {
  auto* self = static_cast<ChannelSourceStream*>(pin);
  telvor::ChannelThread::Handlers handlers{};
  handlers.startChannel = [](void* context, bool quiet) {
    return static_cast<ChannelSourceStream*>(context)->OpenChannel(quiet);
  };
  handlers.stopChannel = [](void* context) { static_cast<ChannelSourceStream*>(context)->CloseChannel(); };
  handlers.context = self;
  handlers.unit = self->m_Unit;
  handlers.function = self->m_ThreadFunction;
  handlers.startMessage = self->m_StartMessage;
  handlers.stopMessage = self->m_StopMessage;
  return telvor::ChannelThread::RunMessageLoop(handlers, self);
}
