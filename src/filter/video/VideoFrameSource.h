// What a video camera shows at each deadline, apart from any filter graph:
// the producer's frames as the channel's reader queues them (FrameQueue),
// converted to the negotiated output (FrameConverter), or, when there is
// nothing to show, the producer's last picture for a moment, the camera's
// idle picture (IdleRendering) or black.
//
// Frames are not copied: the queue holds references into the channel's
// slots, at most five. At each deadline Fill takes the oldest queued frame
// (or, after a few 1 ms waits, the last one again) and converts it straight
// into the caller's buffer while the producer is kept out of the slots, so
// that a frame is never shown half rewritten or out of order.
//
// Threads and locks:
//   the channel's reader   SetSource and Queue, holding the producer's mutex
//   the channel thread     CloseChannel
//   the streaming thread   Restart, KeepNewest and Fill (which renders the
//                          idle picture for the output, outside the locks)
//   negotiation            SetOutput, SetScaleStyle, Rebuild, SetIdleImage
// The converter lock guards the converter, the output and source formats
// and the last good entry; the queue (FrameQueue) guards itself with a lock
// taken last, as does the cameras' shared idle picture. The producer's mutex
// comes before the converter lock (the reader holds it when it calls in),
// so Fill takes the slots with it not held, and only for a bounded time.
// The channel lock comes before all of them: Fill holds it shared,
// CloseChannel exclusively.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include <string>
#include <vector>

#include "filter/video/FrameQueue.h"
#include "filter/video/FrameConverter.h"
#include "filter/video/IdleRendering.h"
#include "filter/video/VideoMediaTypes.h"
#include "base/Handle.h"

namespace telvor {
class PacingLog;
}

class VideoFrameSource {
 public:
  // `owner` names the pin in the log lines.
  explicit VideoFrameSource(const void* owner);

  // False when its events or locks could not be made.
  bool Ready() const { return m_ConverterLock && m_Frames.Ready(); }

  // --- negotiation ---
  // A new output format (the pin's negotiated type); rebuilds the converter.
  void SetOutput(const OutputFormat& format);
  // Taken by the next rebuild: 0 Stretch, 1 Fill, 2 Fit.
  void SetScaleStyle(UINT style);
  // Rebuilds the converter for the current source and output formats.
  void Rebuild();
  // The image file shown instead of black. The pins of `camera` share its
  // decoding, which starts at the first output format. Empty: black.
  void SetIdleImage(int camera, std::wstring path);

  // --- the channel's reader, holding the producer's mutex ---
  // The producer's format as announced; capacity is the slots' payload bytes.
  void SetSource(std::uint32_t fourcc, std::uint32_t width, std::uint32_t height, std::uint32_t capacity);
  void Queue(const FrameEntry& entry);

  // --- the channel thread ---
  // Drops every entry into the channel, runs close(context) once no deadline
  // reads the channel any more, and forgets the producer's format: black
  // until a producer announces itself again.
  void CloseChannel(void (*close)(void* context), void* context);

  // --- the streaming thread ---
  // A new stream: nothing queued, nothing delivered yet.
  void Restart();
  // The stream runs: what queued while it was paused is history but for the newest.
  void KeepNewest() { m_Frames.KeepNewest(); }
  // The deadlines were just placed after the next frame's arrival: the newest
  // queued frame is the period's before, shown only if that one is late.
  void HoldNewest() { m_Frames.HoldNewest(); }
  // Writes the picture of one deadline into `buffer` (`size` bytes). Returns
  // the bytes the sample should report, -1 to leave its length alone (a
  // format the camera does not produce), or kSkipped when the frame's slots
  // stayed busy for this deadline and no sample should go out. `log` gets
  // the steps' marks.
  static constexpr long kSkipped = -2;
  long Fill(std::uint8_t* buffer, long size, telvor::PacingLog* log);
  // Whether a deadline with no new frame waits a few ms for one before the
  // last is shown again: worth it for a producer at the camera's rate, whose
  // frame is only late, not for one at another rate, where the wait only
  // shifts that delivery off its time.
  void WaitForLateFrames(bool wait) { m_WaitsForLateFrames = wait; }

 private:
  FrameEntry CurrentSlotFrame(const FrameEntry& entry) const;
  FrameEntry OldestWholeFrame(const FrameEntry& entry);
  long WritePicture(std::uint8_t* buffer, long size, const FrameEntry& entry);
  long ConvertFrame(std::uint8_t* buffer, const FrameEntry& entry);
  DWORD ProducerWaitMs() const;
  void AfterRebuild();
  void PrepareIdlePicture();
  void HoldLastPicture();
  void WriteNothingToShow(std::uint8_t* buffer, std::int64_t bytes);

  const void* const m_Owner;

  // the channel
  SRWLOCK m_ChannelUse = SRWLOCK_INIT;

  FrameQueue m_Frames;

  // streaming thread only
  bool m_WaitsForLateFrames = true;
  std::uint32_t m_SeenGeneration = 0;
  // Counts the producer's format changes (the reader's); the streaming
  // thread then forgets the numbers it has shown.
  std::atomic<std::uint32_t> m_SourceGeneration{0};
  bool m_ProducerBusyLogged = false;
  int m_BusyDeadlines = 0;  // in a row whose slots stayed busy

  // picture, under m_ConverterLock
  UniqueHandle m_ConverterLock;
  FrameConverter m_Converter;
  FrameEntry m_LastGoodEntry = {};          // last entry long enough to convert
  bool m_ShortFrameLogged = false;
  bool m_SmallBufferLogged = false;

  IdleRendering m_Idle;  // its own lock, after m_ConverterLock

  // the last picture of a producer whose channel closed, under m_ConverterLock,
  // shown instead of black until m_HeldUntil (CounterNow100ns)
  std::vector<std::uint8_t> m_HeldPicture;
  std::int64_t m_HeldUntil = 0;
};
