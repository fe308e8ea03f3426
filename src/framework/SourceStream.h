// The output pin of a source filter, with its own streaming thread paced by
// the graph's reference clock.
//
// Lifecycle: the filter's Pause (from Stopped) calls Active, which commits
// the allocator, starts the thread and sends CMD_INIT (OnThreadCreate runs on
// the thread) and CMD_PAUSE (the thread enters DoBufferProcessingLoop and
// waits). Nothing is delivered until the filter runs: Run(tStart) tells the
// thread, which then fills and delivers one sample per deadline; pausing
// after running (Suspend) tells it to hold delivery again. Neither waits for
// the thread: it may be blocked in a downstream Receive, as a paused renderer
// holds its sample until the graph runs or stops.
// Stop calls Inactive, which decommits the allocator first (so a thread
// blocked in GetDeliveryBuffer wakes up), then sends CMD_STOP and CMD_EXIT
// (OnThreadDestroy runs) and waits for the thread to end.
//
// Samples are stamped in stream time, as live capture devices do: the first
// sample after a Run from Stopped starts at the stream time of its deadline
// (the clock's time minus tStart, never negative); each later one starts
// where the previous ended, MediaTime(MediaLength) further on, and is due at
// that time. A Run after a pause continues from there, or from the stream's
// present time if that is later: stamps never go back and never run ahead of
// the moment of delivery. Media times count the pin's units from 0.
//
// A pin may give its stream a pacing (SetPacing, StreamPacing.h), which
// moves the deadlines behind the stamps' grid: a sample is then due that
// long after its start time, so the deadlines can sit just after a
// producer's writes while the stamps keep their grid. The shift is never
// negative, so stamps still never run ahead of delivery; it is 0 again after
// each Stop. The pacing may also hold a picture a moment before it goes out,
// or drop it.
//
// A pin author supplies FillBuffer (the sample's content, not its times),
// MediaTime, DecideBufferSize and either the single-type
// GetMediaType(CMediaType*) or GetMediaType(position, type) with
// CheckMediaType. Declare `using CSourceStream::GetMediaType;` when
// overriding one of the two GetMediaType overloads, so the other stays
// visible.
#pragma once

#include "framework/AMThread.h"
#include "framework/OutputPin.h"
#include "framework/StreamClock.h"
#include "framework/StreamPacing.h"

class CSource;

class CSourceStream : public CAMThread, public CBaseOutputPin {
 public:
  enum Command : DWORD { CMD_INIT = 0, CMD_PAUSE = 1, CMD_RUN = 2, CMD_STOP = 3, CMD_EXIT = 4 };
  static constexpr HRESULT kSkipSample = MAKE_HRESULT(SEVERITY_SUCCESS, FACILITY_ITF, 0x201);

  // Adds itself to `filter`'s pins; writes a failure into *hr if it cannot.
  CSourceStream(const wchar_t* objectName, HRESULT* hr, CSource* filter, const wchar_t* pinName);

  // --- thread side, in their fixed order ---
  DWORD ThreadProc() override;
  // Removes itself from the filter's pins.
  ~CSourceStream() override;
  // Fills one sample's content: S_OK delivers it, kSkipSample lets its
  // deadline pass without a sample (the next one keeps the grid, so stamps
  // show the gap; a sample whose MediaLength is 0 leaves no gap: the same
  // deadline comes again at once, after any command, for a pin that has
  // already waited a while for its content), S_FALSE ends the stream
  // normally, a failure ends it and reports EC_ERRORABORT.
  virtual HRESULT FillBuffer(IMediaSample* sample) = 0;
  virtual HRESULT OnThreadCreate();
  virtual HRESULT OnThreadDestroy();
  // Once per stream, before the first sample (after Stop, media times start
  // at 0 again). A failure ends the stream and reports EC_ERRORABORT.
  virtual HRESULT OnThreadStartPlay();
  // The clock-paced loop described above.
  virtual HRESULT DoBufferProcessingLoop();
  // How far a filled sample advances the stream, in the pin's media units
  // (frames, sample frames); at least 1 is counted.
  virtual LONGLONG MediaLength(IMediaSample* sample);
  // The stream time that `units` media units take.
  virtual REFERENCE_TIME MediaTime(LONGLONG units) = 0;
  // Each time the stream starts running, before its first deadline.
  virtual void OnRunning();
  // Asked at each Run on the application's thread, under the state lock, for
  // pins that skip late deadlines: false when no client of the graph can be
  // counting pictures from Run, which spares them holds for that count.
  virtual bool ClientMayCountFromRun() { return true; }
  // After each sample went downstream.
  virtual void OnDelivered();
  // The single offered type; E_UNEXPECTED unless replaced.
  virtual HRESULT GetMediaType(CMediaType* type);

  // --- pin side ---
  HRESULT Active() override;
  HRESULT Inactive() override;
  HRESULT Run(REFERENCE_TIME start) override;
  HRESULT Suspend() override;
  // Accepts exactly the single type (E_FAIL otherwise).
  HRESULT CheckMediaType(const CMediaType* type) override;
  // Position 0 is the single type; above it VFW_S_NO_MORE_ITEMS.
  HRESULT GetMediaType(int position, CMediaType* type) override;

 protected:
  CSource* m_pFilter;
  // The deadlines; its clock is the graph's while running.
  telvor::StreamClock m_Clock;
  // Set by a pin whose samples may be dropped (pictures, not sound): a
  // deadline woken more than half a unit late passes without a sample, and
  // the pacing may hold a picture a moment or drop it.
  bool m_SkipsLateDeadlines = false;
  // A stream of either kind further behind than this resumes at the present.
  static constexpr REFERENCE_TIME kLongestCatchUp = 10000000;

  // Before the stream first becomes active; `pacing` outlives the stream.
  void SetPacing(StreamPacing* pacing) { m_Pacing = pacing; }

 private:
  HRESULT Command(DWORD command) { return static_cast<HRESULT>(CallWorker(command)); }
  // Answers a command that arrived while streaming; true when it ends the loop.
  bool HandleCommandWhileStreaming(DWORD command);
  // What Run and Suspend asked for, taken by the loop when m_RunChanged fires.
  void TakeRunRequest();
  HRESULT StartRunning(REFERENCE_TIME start, IReferenceClock* clock, bool countFromRun);
  void SetRunRequest(bool running, REFERENCE_TIME start, bool countFromRun = true);
  // One deadline: a buffer, FillBuffer, stamps, delivery. *stop ends the
  // loop with the returned result.
  HRESULT ProduceOne(bool* stop);
  bool SkipLateDeadline();
  bool HoldUntilItsOwnPeriod();
  void SetDeadlineShift(REFERENCE_TIME shift) { m_DeadlineShift = shift > 0 ? shift : 0; }
  REFERENCE_TIME StreamTimeAt(LONGLONG mediaPosition);
  HRESULT AdviseFor(REFERENCE_TIME start) { return m_Clock.AdviseAt(start + m_DeadlineShift); }
  HRESULT EndStream(HRESULT hr);

  // The filter's wish, set under m_RunLock by Run and Suspend (which hold
  // the filter's state lock), read by the streaming thread.
  CCritSec m_RunLock;
  bool m_RunWanted = false;
  REFERENCE_TIME m_RunStart = 0;
  bool m_RunCountsFromRun = true;
  ComPtr<IReferenceClock> m_RunClock;
  LONG m_RunCount = 0;       // each Run counts, so a pause and run in between is not missed
  LONG m_RunCountSeen = 0;   // streaming thread
  UniqueHandle m_RunChanged;  // auto reset

  // The stream's timeline, streaming thread only. A segment starts at each
  // Run: stamps are the segment's start plus the media since then, so that
  // rounding never accumulates.
  bool m_Running = false;
  LONGLONG m_MediaPosition = 0;
  LONGLONG m_SegmentMedia = 0;
  REFERENCE_TIME m_SegmentTime = 0;
  // How long after its start time a sample is due; never negative.
  REFERENCE_TIME m_DeadlineShift = 0;
  StreamPacing* m_Pacing = nullptr;
  // Pictures: the next deadline's buffer, taken right after a delivery. A
  // free buffer is quick to get, but the allocator's call can wait a
  // millisecond for the system on a busy machine, and at the deadline that
  // wait would show in the spacing of deliveries.
  ComPtr<IMediaSample> m_NextSample;
  bool m_PlacePending = false;  // the run's first deadline is still to come
};
