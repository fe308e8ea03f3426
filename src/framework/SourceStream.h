// The output pin of a source filter, with its own streaming thread.
//
// Lifecycle: the filter's Pause (from Stopped) calls Active, which commits
// the allocator, starts the thread and sends CMD_INIT (OnThreadCreate runs on
// the thread) and CMD_PAUSE (the thread enters DoBufferProcessingLoop). Stop
// calls Inactive, which decommits the allocator first (so a thread blocked in
// GetDeliveryBuffer wakes up), then sends CMD_STOP and CMD_EXIT
// (OnThreadDestroy runs) and waits for the thread to end.
//
// A pin author supplies at least FillBuffer, DecideBufferSize and either the
// single-type GetMediaType(CMediaType*) or GetMediaType(position, type) with
// CheckMediaType. Declare `using CSourceStream::GetMediaType;` when overriding
// one of the two GetMediaType overloads, so the other stays visible.
//
// A loop that replaces DoBufferProcessingLoop waits on GetRequestHandle()
// together with its own events; for a pending command it answers CMD_RUN and
// CMD_PAUSE with Reply(S_OK), returns S_FALSE on CMD_STOP without replying
// (ThreadProc answers it), and answers anything else with Reply(E_UNEXPECTED).
#pragma once

#include "framework/AMThread.h"
#include "framework/OutputPin.h"

class CSource;

class CSourceStream : public CAMThread, public CBaseOutputPin {
 public:
  enum Command : DWORD { CMD_INIT = 0, CMD_PAUSE = 1, CMD_RUN = 2, CMD_STOP = 3, CMD_EXIT = 4 };

  // Adds itself to `filter`'s pins; writes a failure into *hr if it cannot.
  CSourceStream(const wchar_t* objectName, HRESULT* hr, CSource* filter, const wchar_t* pinName);

  // --- thread side, in their fixed order ---
  DWORD ThreadProc() override;
  // Removes itself from the filter's pins.
  ~CSourceStream() override;
  // Fills one sample: S_OK delivers it, S_FALSE ends the stream normally,
  // a failure ends it and reports EC_ERRORABORT.
  virtual HRESULT FillBuffer(IMediaSample* sample) = 0;
  virtual HRESULT OnThreadCreate();
  virtual HRESULT OnThreadDestroy();
  virtual HRESULT OnThreadStartPlay();
  virtual HRESULT DoBufferProcessingLoop();
  // The single offered type; E_UNEXPECTED unless replaced.
  virtual HRESULT GetMediaType(CMediaType* type);

  // --- pin side ---
  HRESULT Active() override;
  HRESULT Inactive() override;
  // Accepts exactly the single type (E_FAIL otherwise).
  HRESULT CheckMediaType(const CMediaType* type) override;
  // Position 0 is the single type; above it VFW_S_NO_MORE_ITEMS.
  HRESULT GetMediaType(int position, CMediaType* type) override;

  // --- commands to the thread ---
  HRESULT Init() { return static_cast<HRESULT>(CallWorker(CMD_INIT)); }
  HRESULT Exit() { return static_cast<HRESULT>(CallWorker(CMD_EXIT)); }
  HRESULT Run() { return static_cast<HRESULT>(CallWorker(CMD_RUN)); }
  HRESULT Pause() { return static_cast<HRESULT>(CallWorker(CMD_PAUSE)); }
  HRESULT Stop() { return static_cast<HRESULT>(CallWorker(CMD_STOP)); }
  using CBaseOutputPin::Run;  // the state hook Run(start) stays reachable

 protected:
  CSource* m_pFilter;

 private:
  // Answers a command that arrived while streaming; true when it ends the loop.
  bool HandleCommandWhileStreaming(DWORD command);
};
